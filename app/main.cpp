// Process entry: hands the argument vector to the entry routine.
#include "app/entry.h"
#include "platform/console.h"
#include "platform/pending_file.h"
#include "support/library_objects.h"

int main(int argc, char** argv) {
    EnsureLibraryObjectsLinked();  // keeps the process-wide node pools in the binary
    PrepareForFileWrites();
    // Names reach the program exactly, or as names no file can have.
    char** arguments = SystemArguments(argc, argv);
    const int status = TexweldMain(argc, arguments);
    HoldWindowUntilRead();
    return status;
}
