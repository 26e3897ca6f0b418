#include "support/file_access.h"

#include "tests/support/test_support.h"

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
using texweld_test::WriteFileBytes;

// Bytes that differ from their neighbours and are never all zero.
std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + 1);
    }
    return bytes;
}

// True when the buffer holds `expected` and zero in the rest of its block.
bool Holds(const ByteBuffer& buffer, const std::string& expected) {
    return buffer.capacity >= expected.size() && std::memcmp(buffer.data, expected.data(), expected.size()) == 0 &&
           std::all_of(buffer.data + expected.size(), buffer.data + buffer.capacity, [](auto b) { return b == 0; });
}

constexpr std::uint64_t kHuge = (std::uint64_t{1} << 32) + 10;
constexpr std::uint64_t kMissing = ~std::uint64_t{0};
constexpr std::uint64_t kFolder = kMissing - 1;

class FileAccess : public testing::Test {
protected:
    texweld_test::TempDir dir;

    // A file of `size` Pattern bytes (past 4 GiB a sparse one that takes no
    // room on disk), a folder, or nothing at all.
    std::string MakeFile(const char* name, std::uint64_t size) {
        const std::string path = dir.File(name);
        if (size == kFolder) {
            std::filesystem::create_directory(path);
        } else if (size != kMissing) {
            WriteFileBytes(path, size > UINT32_MAX ? std::string() : Pattern(size));
            std::filesystem::resize_file(path, size);
        }
        return path;
    }
};

TEST_F(FileAccess, ModesGrantAccessCreateTruncatePositionAndShareAsTheirTableSays) {
    // afterWrite: a file that held "abc" once "XY" is written through the handle (null: no handle opens);
    // besideAReader: opens while another handle reads the file, and lets a reader open beside it.
    struct Case {
        const char* mode;
        bool createsMissing;
        const char* afterWrite;
        bool readable, besideAReader;
    };
    // A '+' counts in the second position only: "rb+" is plain "r".
    const Case cases[] = {
        {"r", false, "abc", true, true},     {"r+", false, "XYc", true, false}, {"rb+", false, "abc", true, true},
        {"w", true, "XY", false, false},     {"w+", true, "XY", true, false},   {"a", true, "abcXY", false, false},
        {"a+", true, "abcXY", true, false},  {"", false, nullptr, false, false}, {"x", false, nullptr, false, false},
        {"+", false, nullptr, false, false}, {"W", false, nullptr, false, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode \"" << c.mode << '"');
        const std::string path = dir.File("file" + std::to_string(index++));
        HANDLE handle = OpenFileByMode(path.c_str(), c.mode);  // no file there yet
        EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.createsMissing);
        EXPECT_EQ(FileExists(path), c.createsMissing);
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(handle));
        }

        WriteFileBytes(path, "abc");
        HANDLE reader = OpenFileByMode(path.c_str(), "r");
        handle = OpenFileByMode(path.c_str(), c.mode);
        EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.besideAReader);
        EXPECT_TRUE((handle == INVALID_HANDLE_VALUE || CloseHandle(handle)) && CloseHandle(reader));
        EXPECT_EQ(ReadFileBytes(path), "abc");  // a refused opener truncated nothing

        handle = OpenFileByMode(path.c_str(), c.mode);
        ASSERT_EQ(handle != INVALID_HANDLE_VALUE, c.afterWrite != nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            reader = OpenFileByMode(path.c_str(), "r");
            EXPECT_EQ(reader != INVALID_HANDLE_VALUE, c.besideAReader);
            EXPECT_TRUE(reader == INVALID_HANDLE_VALUE || CloseHandle(reader));
            DWORD moved = 0;
            WriteFile(handle, "XY", 2, &moved, nullptr);
            SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
            char first = 0;
            EXPECT_EQ(ReadFile(handle, &first, 1, &moved, nullptr) && moved == 1, c.readable);
            EXPECT_TRUE(CloseHandle(handle));
        }
        EXPECT_EQ(ReadFileBytes(path), c.afterWrite != nullptr ? c.afterWrite : "abc");
    }
}

// Every read starts from a buffer whose 2048-byte block is full of old data.
TEST_F(FileAccess, ReadsFillTheBufferWithTheFileZeroTheRestAndNeverKeepAHandle) {
    // A read through a handle opened with `mode` and standing at `start`, or by path when `mode` is null.
    // Afterwards the buffer has `size` and holds the file's bytes [from, to), then zero.
    struct Case {
        const char* name;
        const char* mode;
        std::uint64_t fileSize;
        LONG start;
        bool failAllocation, complete;
        std::uint32_t allocations, size, from, to;
    };
    const Case cases[] = {
        {"whole", "r", 1000, 0, false, true, 0, 1000, 0, 1000},
        {"larger than the block", "r", 10000, 0, false, true, 1, 10000, 0, 10000},
        {"empty", "r", 0, 0, false, true, 0, 0, 0, 0},
        {"short read", "r", 1000, 400, false, false, 0, 1000, 400, 1000},
        {"write-only handle", "a", 1000, 0, false, false, 0, 1000, 0, 0},
        {"no memory", "r", 10000, 0, true, false, 1, 0, 0, 0},
        {"4 GiB and more", "r", kHuge, 0, false, false, 0, 0, 0, 0},
        {"by path", nullptr, 1000, 0, false, true, 0, 1000, 0, 1000},
        {"by path, no memory", nullptr, 10000, 0, true, false, 1, 0, 0, 0},
        {"by path, 4 GiB and more", nullptr, kHuge, 0, false, false, 0, 0, 0, 0},
        {"by path, missing", nullptr, kMissing, 0, false, false, 0, 0, 0, 0},
        {"by path, a folder", nullptr, kFolder, 0, false, false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = MakeFile(c.name, c.fileSize);
        HANDLE handle = c.mode != nullptr ? OpenFileByMode(path.c_str(), c.mode) : INVALID_HANDLE_VALUE;
        ASSERT_EQ(handle != INVALID_HANDLE_VALUE, c.mode != nullptr);
        if (c.start != 0) {
            SetFilePointer(handle, c.start, nullptr, FILE_BEGIN);
        }
        ByteBuffer buffer(1024);
        ASSERT_TRUE(buffer.Reserve(2000));
        std::memset(buffer.data, 0x77, buffer.capacity);

        AllocFaultInjector injector;
        if (c.failAllocation) {
            injector.FailAll();
        }
        const bool complete = handle != INVALID_HANDLE_VALUE ? ReadHandleIntoBuffer(handle, buffer)
                                                             : ReadFileIntoBuffer(path.c_str(), buffer);
        injector.Disarm();
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(injector.Allocations(), c.allocations);
        EXPECT_EQ(buffer.size, c.size);
        EXPECT_LE(buffer.size, buffer.capacity);
        EXPECT_TRUE(Holds(buffer, Pattern(c.to).substr(c.from)));
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(SetFilePointer(handle, 0, nullptr, FILE_BEGIN), 0u);
            EXPECT_TRUE(CloseHandle(handle));  // fails if the read had closed it
        } else if (c.fileSize < kFolder) {
            handle = OpenFileByMode(path.c_str(), "r+");  // exclusive: no handle was left open
            EXPECT_NE(handle, INVALID_HANDLE_VALUE);
            CloseHandle(handle);
        }
    }
}

}  // namespace

namespace {

// A chunk opened for its copy: only a file of exactly the expected size
// that fits the room stays open, at its start; every other case leaves no
// handle behind.
TEST_F(FileAccess, SizedOpensKeepOnlyWholeFilesOfTheExpectedSizeThatFit) {
    struct Case {
        const char* name;
        std::uint64_t fileSize;
        std::uint64_t expected;
        std::uint32_t room;
        SizedOpen result;
    };
    const Case cases[] = {
        {"exact", 1000, 1000, 1000, SizedOpen::Done},
        {"room to spare", 1000, 1000, 1500, SizedOpen::Done},
        {"empty", 0, 0, 0, SizedOpen::Done},
        {"one byte longer", 1001, 1000, 1500, SizedOpen::WrongSize},
        {"one byte shorter", 999, 1000, 1500, SizedOpen::WrongSize},
        {"no size matches", 0, std::uint64_t{1} << 32, 1500, SizedOpen::WrongSize},
        {"past the room", 1000, 1000, 999, SizedOpen::DoesNotFit},
        {"missing", kMissing, 1000, 1500, SizedOpen::CannotRead},
        {"a folder", kFolder, 1000, 1500, SizedOpen::CannotRead},
        {"4 GiB and more", kHuge, kHuge, 1500, SizedOpen::CannotRead},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = MakeFile(c.name, c.fileSize);
        FileIdentity identity;
        HANDLE handle = INVALID_HANDLE_VALUE;
        EXPECT_EQ(OpenFileOfSize(path.c_str(), c.expected, c.room, &identity, handle), c.result);
        if (c.result == SizedOpen::Done) {
            std::string bytes(c.fileSize + 1, '\0');
            DWORD got = 0;
            EXPECT_TRUE(ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr));
            EXPECT_EQ(bytes.substr(0, got), Pattern(c.fileSize));
            EXPECT_TRUE(CloseHandle(handle));
        } else {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
        }
        FileIdentity byPath;
        if (c.fileSize < kFolder) {
            ASSERT_TRUE(IdentifyPath(path.c_str(), byPath));
            EXPECT_EQ(identity, byPath);
            HANDLE exclusive = OpenFileByMode(path.c_str(), "r+");  // no handle was left open
            EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
            CloseHandle(exclusive);
        }
    }
}

// Pieces streamed through the copier land in order, whatever their sizes
// against the block's and whether the system copies between the files; a
// read that fails leaves what came before it and nothing after, and a
// device the system will not copy to still gets its write failure.
TEST_F(FileAccess, CopierStreamsPiecesAcrossBlocksAndStopsAtAShortRead) {
    constexpr std::uint32_t kBlock = BlockCopier::kBlockBytes;
    struct Case {
        const char* name;
        std::uint32_t head;       // bytes from memory
        std::uint32_t fileBytes;  // bytes asked of a file
        std::uint32_t fileHas;    // bytes the file holds
        std::uint32_t zeros;
        const char* device = nullptr;  // the output, where not a file
    };
    const Case cases[] = {
        {"nothing", 0, 0, 0, 0},
        {"smaller than a block", 128, 1000, 1000, 24},
        {"exactly a block", 128, kBlock - 128, kBlock - 128, 0},
        {"one past a block", 128, kBlock - 128, kBlock - 128, 1},
        {"blocks and a half across pieces", 128, 2 * kBlock, 2 * kBlock, kBlock / 2},
        {"a file shorter than asked", 128, 2 * kBlock + 5, 2 * kBlock, 7},
        {"a file shorter than its first block", 128, 1000, 999, 0},
        {"blocks to a full device", 128, 3 * kBlock, 3 * kBlock, 0, "/dev/full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.device && GetPathKind(c.device) == PathKind::Missing) {
            continue;  // Windows: no such device, and no copy in the system to decline
        }
        const std::string source = MakeFile("source", c.fileHas);
        const std::string head = Pattern(c.head + 3).substr(3);
        HANDLE in = OpenFileByMode(source.c_str(), "r");
        HANDLE out = OpenFileByMode(c.device ? c.device : dir.File("out").c_str(), "w");
        ASSERT_NE(in, INVALID_HANDLE_VALUE);
        ASSERT_NE(out, INVALID_HANDLE_VALUE);
        BlockCopier copier;
        ASSERT_TRUE(copier.Reserve(c.head + c.fileBytes + c.zeros));
        copier.Start(out);
        BlockCopier::Result result = copier.Put(reinterpret_cast<const std::uint8_t*>(head.data()), c.head);
        if (result == BlockCopier::Result::Done) {
            result = copier.PutFile(in, c.fileBytes);
        }
        if (result == BlockCopier::Result::Done) {
            result = copier.PutZeros(c.zeros);
        }
        if (result == BlockCopier::Result::Done) {
            result = copier.Finish();
        }
        CloseHandle(in);
        CloseHandle(out);
        if (c.device) {
            EXPECT_EQ(result, BlockCopier::Result::WriteFailed);
            continue;
        }
        const std::string written = ReadFileBytes(dir.File("out"));
        if (c.fileHas < c.fileBytes) {
            EXPECT_EQ(result, BlockCopier::Result::ReadFailed);
            EXPECT_EQ(written, (head + Pattern(c.fileHas)).substr(0, written.size()));
        } else {
            EXPECT_EQ(result, BlockCopier::Result::Done);
            EXPECT_EQ(written, head + Pattern(c.fileHas) + std::string(c.zeros, '\0'));
        }
    }
}

}  // namespace
