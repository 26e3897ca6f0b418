// The file-system questions of platform/file_system.h answered by the real
// Win32 API, in the Windows build.
#include "platform/file_system.h"
#include "platform/folder_lock.h"
#include "platform/pending_file.h"
#include "platform/win32.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using texweld_test::TempDir;
using texweld_test::WriteFileBytes;

struct PathKindCase {
    const char* label;
    const char* name;  // relative to the scratch folder, unless absolute
    PathKind expected;
};

class PathKindWindows : public ::testing::TestWithParam<PathKindCase> {};

TEST_P(PathKindWindows, TellsDiskFilesFromFoldersDevicesAndMissingNames) {
    const TempDir dir;
    WriteFileBytes(dir.File("file.dds"), "bytes");
    WriteFileBytes(dir.File("empty.dds"), "");
    ASSERT_TRUE(CreateDirectoryA(dir.File("folder").c_str(), nullptr));
    WriteFileBytes(dir.File("read-only.dds"), "bytes");
    ASSERT_TRUE(SetFileAttributesA(dir.File("read-only.dds").c_str(), FILE_ATTRIBUTE_READONLY));

    const PathKindCase& c = GetParam();
    const std::string path = (c.name[0] != '\0' && c.name[1] == ':') || c.name[0] == '\\' ? c.name : dir.File(c.name);
    EXPECT_EQ(GetPathKind(path.c_str()), c.expected) << path;

    SetFileAttributesA(dir.File("read-only.dds").c_str(), FILE_ATTRIBUTE_NORMAL);  // so the folder can go
}

INSTANTIATE_TEST_SUITE_P(
    Names, PathKindWindows,
    ::testing::Values(PathKindCase{"File", "file.dds", PathKind::RegularFile},
                      PathKindCase{"EmptyFile", "empty.dds", PathKind::RegularFile},
                      PathKindCase{"ReadOnlyFile", "read-only.dds", PathKind::RegularFile},
                      PathKindCase{"FileWithBackslashes", "folder\\..\\file.dds", PathKind::RegularFile},
                      PathKindCase{"Folder", "folder", PathKind::Other},
                      PathKindCase{"FolderWithSeparator", "folder\\", PathKind::Other},
                      PathKindCase{"Missing", "missing.dds", PathKind::Missing},
                      PathKindCase{"InMissingFolder", "missing\\file.dds", PathKind::Missing},
                      PathKindCase{"NullDevice", "\\\\.\\NUL", PathKind::Other}),
    [](const ::testing::TestParamInfo<PathKindCase>& info) { return std::string(info.param.label); });

TEST(PathKindWindows, ReservedDeviceNamesAreNotDiskFiles) {
    // NUL names the null device in every folder; some systems report plain
    // file attributes for it, so the answer must come from the device itself.
    for (const char* name : {"NUL", "nul", "NUL.dds"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(GetPathKind(name), PathKind::Other);
    }
}

TEST(PathKindWindows, FileHeldWithoutSharingIsStillADiskFile) {
    const TempDir dir;
    const std::string path = dir.File("held.dds");
    WriteFileBytes(path, "bytes");
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetPathKind(path.c_str()), PathKind::RegularFile);
    CloseHandle(held);
}

TEST(FileAttributesWindows, ReplacementKeepsHiddenAndSystemAttributes) {
    const TempDir dir;
    const std::string from = dir.File("from.dds");
    const std::string to = dir.File("to.dds");
    WriteFileBytes(from, "old");
    WriteFileBytes(to, "new");
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesA(from.c_str(), kept));
    if ((GetFileAttributesA(from.c_str()) & kept) != kept) {
        GTEST_SKIP() << "this file system keeps no hidden or system attribute";
    }

    EXPECT_TRUE(CopyPermissionBits(from.c_str(), to.c_str()));
    EXPECT_EQ(GetFileAttributesA(to.c_str()) & kept, kept);

    ASSERT_TRUE(SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(CopyPermissionBits(from.c_str(), to.c_str()));
    EXPECT_EQ(GetFileAttributesA(to.c_str()) & kept, 0u);
}

TEST(FileAttributesWindows, CopyFromAMissingFileFails) {
    const TempDir dir;
    WriteFileBytes(dir.File("to.dds"), "new");
    EXPECT_FALSE(CopyPermissionBits(dir.File("missing.dds").c_str(), dir.File("to.dds").c_str()));
}

// One try at a folder's lock, on a thread of its own.
struct Attempt {
    std::string path;
    FolderLock::Result result = FolderLock::Result::Missing;
};

DWORD WINAPI TryLock(LPVOID argument) {
    auto* attempt = static_cast<Attempt*>(argument);
    FolderLock lock;
    attempt->result = lock.Acquire(attempt->path.c_str(), FolderLock::Mode::Exclusive, 0);
    return 0;
}

// The set lock is the folder's, however the folder is spelt: another run
// (here a thread) that names it another way waits; another folder's lock
// is free; and the lock file goes with the lock.
TEST(FolderLockWindows, EverySpellingOfAFolderMeetsOneLock) {
    const TempDir dir;
    ASSERT_TRUE(CreateDirectoryA(dir.File("Sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(dir.File("Other").c_str(), nullptr));
    FolderLock held;
    ASSERT_EQ(held.Acquire(dir.File("Sub\\tex.dds.0").c_str(), FolderLock::Mode::Exclusive, 0),
              FolderLock::Result::Held);
    // A folder and a Unix link to it, which Wine sees as two folders.
    const std::string spellings = TEXWELD_LOCK_SPELLINGS;
    FolderLock linked;
    ASSERT_EQ(linked.Acquire((spellings + "/folder/tex.dds.0").c_str(), FolderLock::Mode::Exclusive, 0),
              FolderLock::Result::Held);
    for (const auto& [spelling, expected] :
         {std::pair<std::string, FolderLock::Result>{dir.File("SUB\\tex.dds.0"), FolderLock::Result::Busy},
          {dir.File("Other\\..\\sub/.\\tex.dds.0"), FolderLock::Result::Busy},
          {spellings + "/link/tex.dds.0", FolderLock::Result::Busy},
          {dir.File("Other\\tex.dds.0"), FolderLock::Result::Held}}) {
        SCOPED_TRACE(spelling);
        Attempt attempt{spelling};
        HANDLE thread = CreateThread(nullptr, 0, TryLock, &attempt, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EXPECT_EQ(attempt.result, expected);
    }
    held.Release();
    EXPECT_EQ(GetFileAttributesA(dir.File("Sub\\.texweld-lock").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
