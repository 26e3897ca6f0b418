#include "tests/support/in_process_run.h"

#include "app/entry.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <dirent.h>
#include <unistd.h>

namespace texweld_inprocess {
namespace {

namespace fs = std::filesystem;

// One anonymous file for every capture of the process, made on first use.
int CaptureDescriptor() {
    static std::FILE* const file = std::tmpfile();
    if (file == nullptr) {
        std::perror("texweld_inprocess: tmpfile");
        std::abort();
    }
    return ::fileno(file);
}

}  // namespace

std::string CaptureStdout(const std::function<void()>& body) {
    const int capture = CaptureDescriptor();
    std::fflush(stdout);
    // Emptied and rewound: descriptor 1 will share this file offset.
    if (::ftruncate(capture, 0) != 0 || ::lseek(capture, 0, SEEK_SET) != 0) {
        std::perror("texweld_inprocess: ftruncate");
        std::abort();
    }
    const int saved = ::dup(STDOUT_FILENO);
    if (saved < 0 || ::dup2(capture, STDOUT_FILENO) < 0) {
        std::perror("texweld_inprocess: dup");
        std::abort();
    }
    body();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);

    std::string printed;
    char chunk[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(capture, chunk, sizeof chunk, offset);
        if (got <= 0) {
            break;
        }
        printed.append(chunk, static_cast<std::size_t>(got));
        offset += got;
    }
    return printed;
}

ArgumentVector::ArgumentVector(const std::vector<std::string>& arguments) {
    texts_.reserve(arguments.size() + 1);
    texts_.push_back("texweld");
    texts_.insert(texts_.end(), arguments.begin(), arguments.end());
    for (std::string& text : texts_) {
        pointers_.push_back(text.data());
    }
    pointers_.push_back(nullptr);
}

std::string RunTexweld(const std::vector<std::string>& arguments) {
    ArgumentVector argv(arguments);
    return CaptureStdout([&argv] { TexweldMain(argv.Count(), argv.Values()); });
}

int CountOpenDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(folder);
    return count - 1;  // the folder's own descriptor
}

}  // namespace texweld_inprocess
