// Process entry: hands the argument vector to the entry routine.
#include "app/entry.h"
#include "platform/file_system.h"
#include "support/library_objects.h"

int main(int argc, char** argv) {
    EnsureLibraryObjectsLinked();  // keeps the process-wide node pools in the binary
    ReportWriteErrorsInsteadOfSignals();
    return TexweldMain(argc, argv);
}
