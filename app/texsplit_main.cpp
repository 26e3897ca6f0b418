// Process entry of texsplit: hands the argument vector to its entry routine.
#include "app/splitting.h"
#include "platform/console.h"
#include "platform/pending_file.h"
#include "support/library_objects.h"

int main(int argc, char** argv) {
    EnsureLibraryObjectsLinked();
    PrepareForFileWrites();
    char** arguments = SystemArguments(argc, argv);
    const int status = TexsplitMain(argc, arguments);
    HoldWindowUntilRead();
    return status;
}
