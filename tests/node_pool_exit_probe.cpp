// A program that runs and exits normally, recording the support library's
// exit-time teardown: one character per step, the step's code as a digit,
// written unbuffered to the file named by its argument as the step completes.
#include "support/library_objects.h"

#include <cstdio>

namespace {

std::FILE* g_record = nullptr;

void RecordStep(LibraryExitEvent event) {
    std::fputc('0' + static_cast<int>(event), g_record);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    g_record = std::fopen(argv[1], "wb");
    if (g_record == nullptr) {
        return 3;
    }
    // Unbuffered, so each step reaches the file even though the stream is
    // never closed: the steps run after main and the last one is unknown.
    std::setvbuf(g_record, nullptr, _IONBF, 0);
    EnsureLibraryObjectsLinked();
    SetLibraryExitObserver(RecordStep);
    return 0;
}
