// The Win32 file calls and runtime routines that the POSIX build supplies.
#include "platform/console.h"
#include "platform/pending_file.h"
#include "platform/posix_handle.h"
#include "platform/runtime.h"
#include "platform/win32.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Stands in for the C library's flock in this test program (the program's
// own code calls it from the same executable): while `g_flockError` is set,
// every lock fails with it, as on a file system without locks. Otherwise
// the kernel is asked directly, which works in static programs too.
int g_flockError = 0;

extern "C" int flock(int fd, int operation) {
    if (g_flockError != 0) {
        errno = g_flockError;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_flock, fd, operation));
}

// Stands in for link the same way: while `g_linkError` is set, every hard
// link fails with it, as on a file system without hard links.
int g_linkError = 0;

extern "C" int link(const char* from, const char* to) {
    if (g_linkError != 0) {
        errno = g_linkError;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

namespace {

using texweld_test::ReadFileBytes;
using texweld_test::TempDir;

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
}

TEST(Win32Posix, ReadWriteAndSeekReportTheBytesMovedAndWherePositionLands) {
    TempDir dir;
    const std::string path = dir.File("data");
    HANDLE out = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    DWORD moved = 0;
    EXPECT_TRUE(WriteFile(out, "0123456789", 10, &moved, nullptr));
    EXPECT_EQ(moved, 10u);
    EXPECT_TRUE(CloseHandle(out));

    HANDLE in = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    char bytes[32] = {};
    EXPECT_TRUE(ReadFile(in, bytes, 4, &moved, nullptr) && moved == 4);
    EXPECT_TRUE(ReadFile(in, bytes, sizeof bytes, &moved, nullptr));  // end of file: short, not an error
    EXPECT_EQ(std::string(bytes, moved), "456789");
    EXPECT_TRUE(ReadFile(in, bytes, sizeof bytes, &moved, nullptr) && moved == 0);
    EXPECT_EQ(SetFilePointer(in, -3, nullptr, FILE_END), 7u);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(in, 2, &high, FILE_BEGIN), 2u);
    EXPECT_EQ(high, 0);
    EXPECT_EQ(GetFileSize(in, nullptr), 10u);
    EXPECT_FALSE(WriteFile(in, "x", 1, &moved, nullptr));  // read-only handle
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(CloseHandle(in));
}

TEST(Win32Posix, WriteCutShortByTheFileSizeLimitReportsTheShortCount) {
    TempDir dir;
    const std::string path = dir.File("limited");
    // The limit is lowered in a child so that this process keeps its own.
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 10;
        HANDLE out = setrlimit(RLIMIT_FSIZE, &limit) == 0 ? Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS)
                                                           : INVALID_HANDLE_VALUE;
        const std::string bytes(100, 'z');
        DWORD written = 1234;
        const BOOL ok = WriteFile(out, bytes.data(), 100, &written, nullptr);
        _exit(out == INVALID_HANDLE_VALUE ? 11 : ok ? 12 : written != 10 ? 13 : GetLastError() != ERROR_DISK_FULL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "11: no file, 12: reported success, 13: wrong count, 1: wrong error";
    EXPECT_EQ(ReadFileBytes(path), std::string(10, 'z'));
}

TEST(Win32Posix, FailuresSetTheWin32ErrorCode) {
    TempDir dir;
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Open(dir.File("missing"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir.File("no/such/dir"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    HANDLE held = Open(dir.File("held"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(Open(dir.File("held"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(held));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

constexpr std::size_t kRoom = 6;

// vsprintf_s into `kRoom` bytes at `room`, or _vscprintf when `room` is null.
[[gnu::format(printf, 2, 3)]] int FormatInto(char* room, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = room != nullptr ? vsprintf_s(room, kRoom, format, args) : _vscprintf(format, args);
    va_end(args);
    return result;
}

class FileSystemWithoutLocks : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { g_flockError = 0; }
};

TEST_P(FileSystemWithoutLocks, OpensFilesWithoutTheSharingEmulation) {
    TempDir dir;
    const std::string path = dir.File("chunk");
    texweld_test::WriteFileBytes(path, "bytes");
    g_flockError = GetParam();
    for (const DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
        HANDLE handle = Open(path, access, FILE_SHARE_READ, OPEN_EXISTING);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << "access " << access;
        CloseHandle(handle);
    }
    // A lock that another opener holds still refuses.
    g_flockError = EWOULDBLOCK;
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

// Another program's lock on a device says nothing about sharing a file.
TEST(Win32Posix, DevicesOpenWhateverLocksOthersHold) {
    const int other = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    HANDLE handle = Open("/dev/null", GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    ::close(other);
}

INSTANTIATE_TEST_SUITE_P(LockErrors, FileSystemWithoutLocks, ::testing::Values(ENOLCK, EOPNOTSUPP, ENOSYS, EINVAL));

TEST(StagedFilePosix, IsNeverWiderThanTheFileItReplacesAndLeavesNothingWhenDiscarded) {
    TempDir dir;
    const std::string output = dir.File("out.dds");
    texweld_test::WriteFileBytes(output, "old");
    ASSERT_EQ(::chmod(output.c_str(), 0600), 0);
    {
        StagedFile pending;
        ASSERT_EQ(pending.Create(output.c_str(), output.c_str()), FileResult::Done);
        struct stat info {};
        ASSERT_EQ(::fstat(FdFromHandle(pending.Handle()), &info), 0);
        EXPECT_EQ(info.st_mode & 0177, 0u) << "wider than the file it replaces";
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(pending.Handle(), "new", 3, &written, nullptr));
    }  // discarded
    EXPECT_EQ(ReadFileBytes(output), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

    StagedFile pending;
    ASSERT_EQ(pending.Create(output.c_str(), output.c_str()), FileResult::Done);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(pending.Handle(), "new", 3, &written, nullptr));
    EXPECT_EQ(pending.Commit(output.c_str(), true), FileResult::Done);
    EXPECT_EQ(ReadFileBytes(output), "new");
    struct stat info {};
    ASSERT_EQ(::stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(RuntimePosix, BoundedRoutinesFitTheRoomOrEmptyItWithoutWritingPastIt) {
    struct Case {
        const char* what;
        int (*run)(char* room);
        int result;
        const char* text;
    };
    const Case cases[] = {
        {"strcpy_s", [](char* room) { return strcpy_s(room, kRoom, "abcde"); }, 0, "abcde"},
        {"strcpy_s too long", [](char* room) { return strcpy_s(room, kRoom, "abcdef"); }, ERANGE, ""},
        {"memcpy_s", [](char* room) { return memcpy_s(room, kRoom, "12345", 6); }, 0, "12345"},
        {"memcpy_s too long", [](char* room) { return memcpy_s(room, kRoom, "1234567", 7); }, ERANGE, ""},
        {"vsprintf_s", [](char* room) { return FormatInto(room, "%s.%d", "ab", 12); }, 5, "ab.12"},
        {"vsprintf_s too long", [](char* room) { return FormatInto(room, "%s.%d", "ab", 123); }, -1, ""},
    };
    for (const Case& c : cases) {
        char bytes[16];
        std::memset(bytes, '#', sizeof bytes);
        EXPECT_EQ(c.run(bytes), c.result) << c.what;
        EXPECT_STREQ(bytes, c.text) << c.what;
        EXPECT_EQ(std::string(bytes + kRoom, sizeof bytes - kRoom), std::string(sizeof bytes - kRoom, '#')) << c.what;
    }
    // Measuring counts the characters without the terminator.
    EXPECT_EQ(FormatInto(nullptr, "%s", ""), 0);
    EXPECT_EQ(FormatInto(nullptr, "%s.%d", "stone.dds", 10), 12);
    EXPECT_EQ(FormatInto(nullptr, "%.*s|100%%", 3, "abcdef"), 8);
    EXPECT_EQ(FormatInto(nullptr, "%s", std::string(5000, 'm').c_str()), 5000);
}

TEST(Console, AWindowWaitsForAKeyOnlyWhenItIsTheRunsAloneAndNothingIsRedirected) {
    struct Row {
        unsigned long processes;
        bool input, output, waits;
    };
    for (const Row& row : {Row{1, true, true, true}, Row{2, true, true, false}, Row{0, true, true, false},
                           Row{1, false, true, false}, Row{1, true, false, false}}) {
        EXPECT_EQ(WindowWaitsForKey(row.processes, row.input, row.output), row.waits)
            << row.processes << " " << row.input << " " << row.output;
    }
}

TEST(RuntimePosix, CaseInsensitiveCompareFoldsAsciiLettersOnly) {
    const struct {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"Stone.DDS", "stone.dds", 0}, {"abc", "ABD", -1}, {"abcd", "ABC", 1}, {"ab", "abc", -1},
        {"_", "A", -1},  // letters fold to lower case, so '_' (0x5F) sorts before them
        {"\xC4", "\xE4", -1}, {"\xE4", "z", 1},  // bytes above 0x7F compare unsigned, unfolded
    };
    for (const auto& c : cases) {
        const int result = _stricmp(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
    }
}

// A backup keeps the old file's bytes and mode under a name of its own, as a
// second name where the file system has hard links and as a copy where it
// has none; putting it back restores the file, discarding it leaves only
// the file.
TEST(KeptFilePosix, PutsTheOldFileBackWithOrWithoutHardLinks) {
    for (const int linkError : {0, EPERM}) {
        SCOPED_TRACE(linkError == 0 ? "hard link" : "copy");
        TempDir dir;
        const std::string chunk = dir.File("tex.dds.3");
        texweld_test::WriteFileBytes(chunk, "old chunk");
        ASSERT_EQ(::chmod(chunk.c_str(), 0640), 0);
        struct stat old {};
        ASSERT_EQ(::stat(chunk.c_str(), &old), 0);
        g_linkError = linkError;
        {
            const std::string kept = dir.File(".tex.dds.3.texweld-old");
            KeptFile backup;
            ASSERT_EQ(backup.Keep(chunk.c_str(), kept.c_str()), FileResult::Done);
            g_linkError = 0;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
            // Replaced by a new file, then rolled back, as a commit does.
            texweld_test::WriteFileBytes(dir.File("new"), "new chunk");
            ASSERT_EQ(::rename(dir.File("new").c_str(), chunk.c_str()), 0);
            ASSERT_EQ(::rename(kept.c_str(), chunk.c_str()), 0);
        }
        EXPECT_EQ(ReadFileBytes(chunk), "old chunk");
        struct stat back {};
        ASSERT_EQ(::stat(chunk.c_str(), &back), 0);
        EXPECT_EQ(back.st_mode & 07777, 0640u);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
        {
            KeptFile unused;
            ASSERT_EQ(unused.Keep(chunk.c_str()), FileResult::Done);
        }  // discarded: the second name goes, the file stays
        EXPECT_EQ(ReadFileBytes(chunk), "old chunk");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    }
    g_linkError = 0;
}

}  // namespace
