// The Win32 file calls and runtime routines that the POSIX build supplies.
#include "platform/runtime.h"
#include "platform/win32.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using texweld_test::ReadFileBytes;
using texweld_test::TempDir;
using texweld_test::WriteFileBytes;

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
}

TEST(Win32Posix, ReadAndWriteReportTheBytesMoved) {
    TempDir dir;
    const std::string path = dir.File("data");
    HANDLE out = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(out, "0123456789", 10, &written, nullptr));
    EXPECT_EQ(written, 10u);
    EXPECT_TRUE(CloseHandle(out));
    EXPECT_EQ(ReadFileBytes(path), "0123456789");

    HANDLE in = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    char bytes[32] = {};
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(in, bytes, 4, &read, nullptr));
    EXPECT_EQ(read, 4u);
    EXPECT_TRUE(ReadFile(in, bytes, sizeof bytes, &read, nullptr));  // end of file: short, not an error
    EXPECT_EQ(read, 6u);
    EXPECT_EQ(std::string(bytes, read), "456789");
    EXPECT_TRUE(ReadFile(in, bytes, sizeof bytes, &read, nullptr));
    EXPECT_EQ(read, 0u);

    EXPECT_EQ(SetFilePointer(in, -3, nullptr, FILE_END), 7u);
    EXPECT_TRUE(ReadFile(in, bytes, sizeof bytes, &read, nullptr));
    EXPECT_EQ(std::string(bytes, read), "789");
    EXPECT_EQ(SetFilePointer(in, 0, nullptr, FILE_END), 10u);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(in, 2, &high, FILE_BEGIN), 2u);
    EXPECT_EQ(high, 0);
    EXPECT_EQ(GetFileSize(in, nullptr), 10u);

    // Writing through a read-only handle moves nothing.
    EXPECT_FALSE(WriteFile(in, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
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
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(10);
        }
        HANDLE out = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
        if (out == INVALID_HANDLE_VALUE) {
            _exit(11);
        }
        const std::string bytes(100, 'z');
        DWORD written = 1234;
        const BOOL ok = WriteFile(out, bytes.data(), 100, &written, nullptr);
        const DWORD error = GetLastError();
        CloseHandle(out);
        _exit(ok ? 12 : written != 10 ? 13 : error != ERROR_DISK_FULL ? 14 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "12: reported success, 13: wrong count, 14: wrong error";
    EXPECT_EQ(ReadFileBytes(path), std::string(10, 'z'));
}

TEST(Win32Posix, FailuresSetTheWin32ErrorCode) {
    TempDir dir;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(Open(dir.File("missing"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir.File("no/such/dir"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    const std::string path = dir.File("held");
    WriteFileBytes(path, "abc");
    HANDLE held = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadFileBytes(path), "abc");
    EXPECT_TRUE(CloseHandle(held));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

// vsprintf_s and _vscprintf take a va_list; these wrap them for the tests.
[[gnu::format(printf, 3, 4)]] int FormatInto(char* buffer, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = vsprintf_s(buffer, size, format, args);
    va_end(args);
    return result;
}

[[gnu::format(printf, 1, 2)]] int Measure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = _vscprintf(format, args);
    va_end(args);
    return result;
}

// Every bounded routine gets a destination of `room` bytes inside a larger
// array; the bytes after the room must come through untouched.
constexpr std::size_t kRoom = 6;
constexpr char kGuard = '#';

struct Guarded {
    char bytes[16];
    Guarded() { std::memset(bytes, kGuard, sizeof bytes); }
    bool GuardIntact() const {
        for (std::size_t i = kRoom; i < sizeof bytes; ++i) {
            if (bytes[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
};

TEST(RuntimePosix, BoundedCopiesFailWithAnEmptyDestinationWhenTooSmall) {
    Guarded fits;
    EXPECT_EQ(strcpy_s(fits.bytes, kRoom, "abcde"), 0);
    EXPECT_STREQ(fits.bytes, "abcde");
    Guarded tooLong;
    EXPECT_EQ(strcpy_s(tooLong.bytes, kRoom, "abcdef"), ERANGE);
    EXPECT_EQ(tooLong.bytes[0], '\0');
    EXPECT_TRUE(tooLong.GuardIntact());

    Guarded copied;
    EXPECT_EQ(memcpy_s(copied.bytes, kRoom, "123456", 6), 0);
    EXPECT_EQ(std::string(copied.bytes, 6), "123456");
    EXPECT_TRUE(copied.GuardIntact());
    Guarded overlong;
    EXPECT_EQ(memcpy_s(overlong.bytes, kRoom, "1234567", 7), ERANGE);
    EXPECT_EQ(std::string(overlong.bytes, kRoom), std::string(kRoom, '\0'));
    EXPECT_TRUE(overlong.GuardIntact());

    Guarded formatted;
    EXPECT_EQ(FormatInto(formatted.bytes, kRoom, "%s.%d", "ab", 12), 5);
    EXPECT_STREQ(formatted.bytes, "ab.12");
    Guarded truncated;
    EXPECT_EQ(FormatInto(truncated.bytes, kRoom, "%s.%d", "ab", 123), -1);
    EXPECT_EQ(truncated.bytes[0], '\0');
    EXPECT_TRUE(truncated.GuardIntact());
}

TEST(RuntimePosix, MeasuringCountsCharactersWithoutTerminator) {
    EXPECT_EQ(Measure("%s", ""), 0);
    EXPECT_EQ(Measure("%s.%d", "stone.dds", 10), 12);
    EXPECT_EQ(Measure("%.*s", 3, "abcdef"), 3);
    EXPECT_EQ(Measure("100%%"), 4);
    EXPECT_EQ(Measure("%s", std::string(5000, 'm').c_str()), 5000);
}

TEST(RuntimePosix, CaseInsensitiveCompareFoldsAsciiLettersOnly) {
    EXPECT_EQ(_stricmp("Stone.DDS", "stone.dds"), 0);
    EXPECT_EQ(_stricmp("", ""), 0);
    EXPECT_LT(_stricmp("abc", "ABD"), 0);
    EXPECT_GT(_stricmp("abcd", "ABC"), 0);
    EXPECT_LT(_stricmp("ab", "abc"), 0);
    // Letters fold to lower case, so '_' (0x5F) sorts before every letter.
    EXPECT_LT(_stricmp("_", "A"), 0);
    EXPECT_LT(_stricmp("[", "a"), 0);
    // Bytes above 0x7F are compared as they are, without sign trouble.
    EXPECT_NE(_stricmp("\xC4", "\xE4"), 0);
    EXPECT_GT(_stricmp("\xE4", "z"), 0);
}

}  // namespace
