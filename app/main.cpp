// Process entry: hands the argument vector to the entry routine.
#include "app/entry.h"
#include "platform/file_system.h"

int main(int argc, char** argv) {
    ReportWriteErrorsInsteadOfSignals();
    return TexweldMain(argc, argv);
}
