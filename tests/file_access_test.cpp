#include "support/file_access.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using texweld_test::AllocFaultInjector;
using texweld_test::FileExists;
using texweld_test::ReadFileBytes;
using texweld_test::TempDir;
using texweld_test::WriteFileBytes;

// Bytes that differ from their neighbours and are never all zero.
std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + 1);
    }
    return bytes;
}

std::string Contents(const ByteBuffer& buffer, std::uint32_t from, std::uint32_t to) {
    return std::string(reinterpret_cast<const char*>(buffer.data) + from, to - from);
}

bool ZeroFrom(const ByteBuffer& buffer, std::uint32_t from) {
    return std::all_of(buffer.data + from, buffer.data + buffer.capacity, [](std::uint8_t b) { return b == 0; });
}

bool Write(HANDLE handle, const std::string& bytes) {
    DWORD written = 0;
    const BOOL ok = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

// A file of 4 GiB and 10 bytes that takes no room on disk.
void MakeHugeSparseFile(const std::string& path) {
    WriteFileBytes(path, "");
    std::filesystem::resize_file(path, (std::uint64_t{1} << 32) + 10);
}

class FileAccess : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(FileAccess, ReadModesNeedAnExistingFileAndNeverTruncate) {
    const std::string missing = dir.File("missing");
    for (const char* mode : {"r", "r+", "rb+"}) {
        EXPECT_EQ(OpenFileByMode(missing.c_str(), mode), INVALID_HANDLE_VALUE) << mode;
    }
    EXPECT_FALSE(FileExists(missing));

    const std::string path = dir.File("kept");
    WriteFileBytes(path, "abc");
    HANDLE update = OpenFileByMode(path.c_str(), "r+");
    ASSERT_NE(update, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(update, "X"));  // at the start, over the old text
    EXPECT_TRUE(CloseHandle(update));
    EXPECT_EQ(ReadFileBytes(path), "Xbc");

    // A "+" after another character does not count: read access only.
    HANDLE plain = OpenFileByMode(path.c_str(), "rb+");
    ASSERT_NE(plain, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Write(plain, "Y"));
    EXPECT_TRUE(CloseHandle(plain));
    EXPECT_EQ(ReadFileBytes(path), "Xbc");
}

TEST_F(FileAccess, WriteModesCreateOrTruncate) {
    for (const char* mode : {"w", "w+"}) {
        const std::string existing = dir.File(std::string("old-") + mode);
        WriteFileBytes(existing, "old contents");
        HANDLE handle = OpenFileByMode(existing.c_str(), mode);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << mode;
        EXPECT_EQ(ReadFileBytes(existing), "") << mode;
        EXPECT_TRUE(Write(handle, "new"));
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_EQ(ReadFileBytes(existing), "new") << mode;

        const std::string created = dir.File(std::string("new-") + mode);
        handle = OpenFileByMode(created.c_str(), mode);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << mode;
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_TRUE(FileExists(created)) << mode;
    }
}

TEST_F(FileAccess, AppendModesCreateAndPositionAtTheEnd) {
    for (const char* mode : {"a", "a+"}) {
        const std::string existing = dir.File(std::string("old-") + mode);
        WriteFileBytes(existing, "abc");
        HANDLE handle = OpenFileByMode(existing.c_str(), mode);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << mode;
        EXPECT_TRUE(Write(handle, "de"));
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_EQ(ReadFileBytes(existing), "abcde") << mode;

        const std::string created = dir.File(std::string("new-") + mode);
        handle = OpenFileByMode(created.c_str(), mode);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << mode;
        EXPECT_TRUE(Write(handle, "xy"));
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_EQ(ReadFileBytes(created), "xy") << mode;
    }
}

TEST_F(FileAccess, UnknownModesOpenAndCreateNothing) {
    const std::string missing = dir.File("never");
    const std::string existing = dir.File("there");
    WriteFileBytes(existing, "abc");
    for (const char* mode : {"", "x", "+", "b", "R", "W"}) {
        EXPECT_EQ(OpenFileByMode(missing.c_str(), mode), INVALID_HANDLE_VALUE) << '"' << mode << '"';
        EXPECT_EQ(OpenFileByMode(existing.c_str(), mode), INVALID_HANDLE_VALUE) << '"' << mode << '"';
    }
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(ReadFileBytes(existing), "abc");
}

TEST_F(FileAccess, OnlyReadersShareAFile) {
    const std::string path = dir.File("shared");
    WriteFileBytes(path, "abc");
    struct Pair {
        const char* first;
        const char* second;
        bool coexist;
    };
    const Pair pairs[] = {{"r", "r", true},  {"r", "w", false}, {"r", "r+", false}, {"r+", "r", false},
                          {"w", "r", false}, {"r", "a", false}, {"a+", "w+", false}};
    for (const Pair& pair : pairs) {
        HANDLE first = OpenFileByMode(path.c_str(), pair.first);
        ASSERT_NE(first, INVALID_HANDLE_VALUE) << pair.first;
        HANDLE second = OpenFileByMode(path.c_str(), pair.second);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, pair.coexist) << pair.first << " then " << pair.second;
        if (second != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(second));
        }
        EXPECT_TRUE(CloseHandle(first));
        // Once the first is closed the second mode opens.
        second = OpenFileByMode(path.c_str(), pair.second);
        EXPECT_NE(second, INVALID_HANDLE_VALUE) << pair.second;
        EXPECT_TRUE(CloseHandle(second));
        WriteFileBytes(path, "abc");
    }
    // A refused "w" must not have emptied the file behind the reader's back.
    HANDLE reader = OpenFileByMode(path.c_str(), "r");
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenFileByMode(path.c_str(), "w"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadFileBytes(path), "abc");
    EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(FileAccess, DirectoriesDoNotOpen) {
    for (const char* mode : {"r", "r+", "w", "a"}) {
        EXPECT_EQ(OpenFileByMode(dir.Path().c_str(), mode), INVALID_HANDLE_VALUE) << mode;
    }
    ByteBuffer buffer(8192);
    EXPECT_FALSE(ReadFileIntoBuffer(dir.Path().c_str(), buffer));
    EXPECT_EQ(buffer.size, 0u);
}

TEST_F(FileAccess, EmptyFileReadsWithoutABlock) {
    const std::string path = dir.File("empty");
    WriteFileBytes(path, "");
    ByteBuffer buffer(8192);
    AllocFaultInjector injector;
    EXPECT_TRUE(ReadFileIntoBuffer(path.c_str(), buffer));
    EXPECT_EQ(injector.Allocations(), 0u);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.data, nullptr);
}

TEST_F(FileAccess, WholeFileReadsZeroTheRestOfTheBlock) {
    const std::string large = dir.File("large");
    const std::string small = dir.File("small");
    const std::string missing = dir.File("missing");
    WriteFileBytes(large, Pattern(10000));
    WriteFileBytes(small, Pattern(100).substr(50));
    ByteBuffer buffer(8192);
    AllocFaultInjector injector;
    injector.FillNewBlocks(0xEE);

    ASSERT_TRUE(ReadFileIntoBuffer(large.c_str(), buffer));
    EXPECT_EQ(injector.Allocations(), 1u);
    EXPECT_EQ(buffer.size, 10000u);
    EXPECT_EQ(buffer.capacity, 16384u);
    EXPECT_EQ(Contents(buffer, 0, 10000), Pattern(10000));
    EXPECT_TRUE(ZeroFrom(buffer, 10000));

    // A smaller file reuses the block and leaves nothing of what it held.
    const std::uint8_t* block = buffer.data;
    std::memset(buffer.data, 0x77, buffer.capacity);
    injector.ResetCounts();
    ASSERT_TRUE(ReadFileIntoBuffer(small.c_str(), buffer));
    EXPECT_EQ(injector.Allocations(), 0u);
    EXPECT_EQ(buffer.data, block);
    EXPECT_EQ(buffer.capacity, 16384u);
    EXPECT_EQ(buffer.size, 50u);
    EXPECT_EQ(Contents(buffer, 0, 50), Pattern(100).substr(50));
    EXPECT_TRUE(ZeroFrom(buffer, 50));

    // A missing file still empties the buffer; the block stays.
    EXPECT_FALSE(ReadFileIntoBuffer(missing.c_str(), buffer));
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.data, block);
    EXPECT_TRUE(ZeroFrom(buffer, 0));
}

TEST_F(FileAccess, FailedWholeFileReadsCloseTheFile) {
    const std::string path = dir.File("chunk");
    WriteFileBytes(path, Pattern(300));
    const std::string huge = dir.File("huge");
    MakeHugeSparseFile(huge);

    ByteBuffer buffer(8192);
    AllocFaultInjector injector;
    injector.FailAll();
    const bool readWithoutMemory = ReadFileIntoBuffer(path.c_str(), buffer);
    injector.Disarm();
    EXPECT_FALSE(readWithoutMemory);
    EXPECT_EQ(buffer.capacity, 0u);

    injector.ResetCounts();
    EXPECT_FALSE(ReadFileIntoBuffer(huge.c_str(), buffer));
    EXPECT_EQ(injector.Allocations(), 0u);  // not even the low 10 bytes
    EXPECT_EQ(buffer.size, 0u);

    // No handle outlives a read: an exclusive open succeeds afterwards.
    for (const std::string& file : {path, huge}) {
        HANDLE handle = OpenFileByMode(file.c_str(), "r+");
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << file;
        CloseHandle(handle);
    }
}

// One case of ReadHandleIntoBuffer: how the file and its handle are made,
// and what the read must report.
struct HandleCase {
    const char* name;
    const char* mode;
    std::uint64_t fileSize;  // the file holds Pattern(fileSize), or is sparse past 4 GiB
    LONG start;              // where the handle stands when the read begins
    bool failAllocation;
    bool complete;
};

void PrintTo(const HandleCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadHandle : public testing::TestWithParam<HandleCase> {
protected:
    TempDir dir;
};

TEST_P(ReadHandle, LeavesTheHandleOpenOnEveryPath) {
    const HandleCase c = GetParam();
    const std::string path = dir.File("chunk");
    if (c.fileSize > UINT32_MAX) {
        MakeHugeSparseFile(path);
    } else {
        WriteFileBytes(path, Pattern(c.fileSize));
    }
    HANDLE handle = OpenFileByMode(path.c_str(), c.mode);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    SetFilePointer(handle, c.start, nullptr, FILE_BEGIN);

    ByteBuffer buffer(256);
    AllocFaultInjector injector;
    if (c.failAllocation) {
        injector.FailAll();
    }
    const bool complete = ReadHandleIntoBuffer(handle, buffer);
    injector.Disarm();

    EXPECT_EQ(complete, c.complete);
    if (c.fileSize <= UINT32_MAX && !c.failAllocation) {
        // The buffer says the file's size; what was not delivered is zero.
        const auto size = static_cast<std::uint32_t>(c.fileSize);
        const auto start = static_cast<std::uint32_t>(c.start);
        const std::uint32_t read = c.mode[0] == 'r' ? size - start : 0;
        EXPECT_EQ(buffer.size, size);
        if (buffer.data != nullptr) {
            EXPECT_EQ(Contents(buffer, 0, read), Pattern(size).substr(start, read));
            EXPECT_TRUE(ZeroFrom(buffer, read));
        }
    }
    EXPECT_LE(buffer.size, buffer.capacity);
    EXPECT_EQ(SetFilePointer(handle, 0, nullptr, FILE_BEGIN), 0u);
    EXPECT_TRUE(CloseHandle(handle));  // fails if the read had closed it
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ReadHandle,
    testing::Values(HandleCase{"Whole", "r", 1000, 0, false, true}, HandleCase{"Empty", "r", 0, 0, false, true},
                    HandleCase{"ShortRead", "r", 1000, 400, false, false},
                    HandleCase{"WriteOnlyHandle", "a", 1000, 0, false, false},
                    HandleCase{"NoMemory", "r", 1000, 0, true, false},
                    HandleCase{"FourGiBAndMore", "r", (std::uint64_t{1} << 32) + 10, 0, false, false}),
    [](const testing::TestParamInfo<HandleCase>& info) { return std::string(info.param.name); });

}  // namespace
