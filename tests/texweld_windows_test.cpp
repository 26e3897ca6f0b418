// texweld.exe run as a child process while this process holds some of its
// files open: the Windows share modes decide what it may open, and whatever
// it cannot open leaves every file as it was.
#include "app/set_journal.h"
#include "platform/console.h"
#include "platform/win32.h"
#include "samples/split_texture.h"
#include "tests/support/expected_lines.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using texweld_test::FileExists;
using texweld_test::ReadFileBytes;
using texweld_test::TempDir;
using texweld_test::WriteFileBytes;

// The program under test, as a full Windows path: the build names it
// relative to the folder the tests start in, and the child runs elsewhere.
std::string TexweldExe() {
    char full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(TEXWELD_WINDOWS_EXE, MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : std::string(TEXWELD_WINDOWS_EXE);
}

struct RunResult {
    bool started = false;
    DWORD exitCode = 0xFFFFFFFFu;
    std::string out;  // standard output, line ends as the program wrote them
};

// Runs `exe` in `folder` with `arguments` (already quoted as needed) and
// collects its standard output.
RunResult RunProgram(const std::string& exe, const std::string& folder, const std::string& arguments) {
    RunResult result;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    result.started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    folder.c_str(), &startup, &process) != FALSE;
    CloseHandle(writeEnd);  // the child holds the only write end now
    if (result.started) {
        char chunk[256];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            result.out.append(chunk, got);
        }
        WaitForSingleObject(process.hProcess, 30000);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return result;
}

RunResult RunTexweld(const std::string& folder, const std::string& arguments) {
    return RunProgram(TexweldExe(), folder, arguments);
}

// The one line a run printed, without its line end; flags anything else.
std::string OneLine(const RunResult& run) {
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    std::string line = run.out;
    EXPECT_TRUE(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 &&
                line.find('\n') == line.size() - 1)
        << "not one console line: " << run.out;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// True when the file at `path` holds exactly `bytes`; a mismatch is reported
// by size and first differing offset rather than by dumping the contents.
::testing::AssertionResult Holds(const std::string& path, const std::string& bytes) {
    const std::string actual = ReadFileBytes(path);
    if (actual == bytes) {
        return ::testing::AssertionSuccess();
    }
    std::size_t offset = 0;
    while (offset < actual.size() && offset < bytes.size() && actual[offset] == bytes[offset]) {
        ++offset;
    }
    return ::testing::AssertionFailure() << path << " holds " << actual.size() << " bytes, expected "
                                         << bytes.size() << "; first difference at offset " << offset;
}

// Names of the temporary files, backups and journals a replacement uses,
// found anywhere under `folder`.
std::vector<std::string> TemporaryFiles(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".texweld-") != std::string::npos) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

// A 64x64 DXT1 texture with 7 levels split into tex.dds.0 to tex.dds.4,
// and what they join into.
class TexweldWindows : public ::testing::Test {
protected:
    void SetUp() override {
        const samplekit::Bytes preamble = samplekit::MakePreamble(samplekit::SampleFormat::Dxt1, 64, 64, 7);
        const std::vector<samplekit::Bytes> levels =
            samplekit::MakeLevels(samplekit::SampleFormat::Dxt1, 64, 64, 7);
        ASSERT_TRUE(samplekit::WriteChunks(dir.File("tex.dds"), samplekit::SplitTexture(preamble, levels)));
        const samplekit::Bytes joined = samplekit::JoinTexture(preamble, levels);
        expected.assign(joined.begin(), joined.end());
    }

    // Opens `name` in the scratch folder as another program would hold it.
    HANDLE Hold(const char* name, DWORD access, DWORD share) const {
        HANDLE handle = CreateFileA(dir.File(name).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
        return handle;
    }

    TempDir dir;
    std::string expected;
};

TEST_F(TexweldWindows, ReassemblesWithRelativeNames) {
    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "tex.dds.0")), expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("tex.dds"), expected));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

struct HeldOutputCase {
    const char* label;
    DWORD access;
    DWORD share;
    // Whether an open for writing that shares nothing is refused: an opener
    // with no access at all (an indexer, a scanner) still blocks a rename.
    bool refusesWriters = true;
};

void PrintTo(const HeldOutputCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldHeldOutput : public TexweldWindows, public ::testing::WithParamInterface<HeldOutputCase> {};

// Writing the output shares nothing, so any other opener with read or write
// access keeps the old output in place, and the run says so.
TEST_P(TexweldHeldOutput, IsNotReplacedAndNoTemporaryFileRemains) {
    const HeldOutputCase& c = GetParam();
    WriteFileBytes(dir.File("out.dds"), "the previous output");
    HANDLE held = Hold("out.dds", c.access, c.share);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    // The platform enforces share modes between openers at all.
    HANDLE writer = CreateFileA(dir.File("out.dds").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = GetLastError();
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }
    if (c.refusesWriters) {
        ASSERT_EQ(writer, INVALID_HANDLE_VALUE);
        ASSERT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }

    const std::string line = OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds"));
    CloseHandle(held);

    EXPECT_EQ(line, expected_lines::CannotOpen("out.dds"));
    EXPECT_TRUE(Holds(dir.File("out.dds"), "the previous output"));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});

    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds")), expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("out.dds"), expected));
}

INSTANTIATE_TEST_SUITE_P(
    Holders, TexweldHeldOutput,
    ::testing::Values(HeldOutputCase{"WriterSharingNothing", GENERIC_READ | GENERIC_WRITE, 0},
                      HeldOutputCase{"ReaderSharingNothing", GENERIC_READ, 0},
                      HeldOutputCase{"ReaderSharingReads", GENERIC_READ, FILE_SHARE_READ},
                      HeldOutputCase{"ReaderSharingEverything", GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
                      // Passes every check before the image is written, and
                      // holds the name when the finished file would take it.
                      HeldOutputCase{"NoAccessSharingNothing", 0, 0, false}),
    [](const ::testing::TestParamInfo<HeldOutputCase>& info) { return std::string(info.param.label); });

TEST_F(TexweldWindows, ChunksHeldByAWriterCannotBeRead) {
    struct Case {
        const char* chunk;
        std::string line;
    };
    for (const Case& c : {Case{"tex.dds.0", expected_lines::NotFound("tex.dds")},
                          Case{"tex.dds.4", expected_lines::ChunkUnreadable(4)},
                          Case{"tex.dds.1", expected_lines::ChunkUnreadable(1)}}) {
        SCOPED_TRACE(c.chunk);
        HANDLE held = Hold(c.chunk, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const std::string line = OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds"));
        CloseHandle(held);
        EXPECT_EQ(line, c.line);
        EXPECT_FALSE(FileExists(dir.File("out.dds")));
        EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
    }
}

// A chunk that another program holds while texsplit.exe replaces the set:
// the commit stops at it and puts back every chunk it had already replaced.
TEST_F(TexweldWindows, TexsplitKeepsTheOldSetWhenAChunkIsHeldDuringItsCommit) {
    const samplekit::Bytes preamble = samplekit::MakePreamble(samplekit::SampleFormat::Dxt1, 64, 64, 7);
    const samplekit::Bytes other =
        samplekit::JoinTexture(preamble, samplekit::MakeLevels(samplekit::SampleFormat::Dxt1, 64, 64, 7, 3));
    WriteFileBytes(dir.File("other.dds"), std::string(other.begin(), other.end()));
    std::vector<std::string> old;
    for (int k = 0; k <= 4; ++k) {
        old.push_back(ReadFileBytes(dir.File("tex.dds." + std::to_string(k))));
    }
    HANDLE held = Hold("tex.dds.2", 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const RunResult run = RunProgram(TEXSPLIT_WINDOWS_EXE, dir.Path(), "other.dds tex.dds");
    CloseHandle(held);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, expected_lines::kSplitWriteFailed + "\r\n");
    for (int k = 0; k <= 4; ++k) {
        EXPECT_TRUE(Holds(dir.File("tex.dds." + std::to_string(k)), old[static_cast<std::size_t>(k)])) << k;
    }
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

// Starts `program` with `arguments` in `folder`, ends it with
// TerminateProcess after `delay` ms and waits for it; whether it was still
// running to be ended.
bool EndedAfter(const char* program, const std::string& arguments, const std::string& folder, DWORD delay) {
    char full[MAX_PATH] = {};
    GetFullPathNameA(program, MAX_PATH, full, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + std::string(full) + "\" " + arguments;
    if (!CreateProcessA(full, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start " << full << ": error " << GetLastError();
        return false;
    }
    Sleep(delay);
    const bool ended = TerminateProcess(process.hProcess, 9) != FALSE;
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
}

// texsplit.exe ended at a random moment by another program: the next
// texweld.exe finishes or undoes its commit, then welds exactly the old set
// or the new one, and nothing of the commit is left.
TEST_F(TexweldWindows, TexsplitEndedAnywhereIsRepairedByTheNextRun) {
    const samplekit::Bytes preamble = samplekit::MakePreamble(samplekit::SampleFormat::Dxt1, 128, 128, 8);
    const samplekit::Bytes other =
        samplekit::JoinTexture(preamble, samplekit::MakeLevels(samplekit::SampleFormat::Dxt1, 128, 128, 8, 3));
    WriteFileBytes(dir.File("other.dds"), std::string(other.begin(), other.end()));
    std::vector<std::string> old;
    for (int k = 0; k <= 4; ++k) {
        old.push_back(ReadFileBytes(dir.File("tex.dds." + std::to_string(k))));
    }
    int ended = 0;
    for (const DWORD delay : {0u, 20u, 40u, 60u, 80u, 100u, 130u, 160u, 200u, 260u}) {
        SCOPED_TRACE("ended after " + std::to_string(delay) + " ms");
        for (int k = 0; k <= 5; ++k) {
            DeleteFileA(dir.File("tex.dds." + std::to_string(k)).c_str());
        }
        for (int k = 0; k <= 4; ++k) {
            WriteFileBytes(dir.File("tex.dds." + std::to_string(k)), old[static_cast<std::size_t>(k)]);
        }
        ended += EndedAfter(TEXSPLIT_WINDOWS_EXE, "other.dds tex.dds", dir.Path(), delay) ? 1 : 0;
        const std::string weld = OneLine(RunTexweld(dir.Path(), "tex.dds.0 w.dds"));
        // texsplit names what kept a refused recovery from rolling back.
        EXPECT_EQ(weld, expected_lines::Unsplit("tex.dds"))
            << (weld == expected_lines::Unsplit("tex.dds")
                    ? ""
                    : "texsplit then: " + RunProgram(TEXSPLIT_WINDOWS_EXE, dir.Path(), "other.dds tex.dds").out);
        const std::string welded = ReadFileBytes(dir.File("w.dds"));
        const bool isOld = welded == expected;
        EXPECT_TRUE(isOld || welded == std::string(other.begin(), other.end()));
        EXPECT_EQ(FileExists(dir.File("tex.dds.5")), !isOld);
        EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
        DeleteFileA(dir.File("w.dds").c_str());
    }
    EXPECT_GT(ended, 0) << "no run was ended before it finished";
}

// A texsplit that died just after its new first chunk took the name: the
// weld, which has that chunk open when it finds the journal, still puts the
// old one back.
TEST_F(TexweldWindows, AWeldRollsBackAFirstChunkItHasOpen) {
    const samplekit::Bytes preamble = samplekit::MakePreamble(samplekit::SampleFormat::Dxt1, 128, 128, 8);
    const samplekit::Bytes other =
        samplekit::SplitTexture(preamble, samplekit::MakeLevels(samplekit::SampleFormat::Dxt1, 128, 128, 8))[0].content;
    const std::string base = dir.File("tex.dds");
    ChunkNames names;
    ASSERT_TRUE(DeriveChunkNames(base.c_str(), 0, names));
    ASSERT_TRUE(MoveFileA(names.target.get(), names.backup.get()));
    WriteFileBytes(names.target.get(), std::string(other.begin(), other.end()));
    SetChanges changes;
    changes.change[0] = ChunkChange::Replaced;
    const std::unique_ptr<char[]> journal = JournalNameFor(base.c_str());
    HANDLE handle = CreateFileA(journal.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteJournal(handle, base.c_str(), changes));
    CloseHandle(handle);
    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "tex.dds.0 w.dds")), expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("w.dds"), expected));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

// texweld.exe ended at a random moment while it replaces an output: the
// output is the old one or the new one, and the next weld to that output
// removes the slot a dead run left (one ended before its file was marked
// for deletion) and leaves nothing beside it.
TEST_F(TexweldWindows, TexweldEndedAnywhereLeavesNothingAfterTheNextWeld) {
    const samplekit::Bytes preamble = samplekit::MakePreamble(samplekit::SampleFormat::Argb32, 1024, 1024, 11);
    const std::vector<samplekit::Bytes> levels =
        samplekit::MakeLevels(samplekit::SampleFormat::Argb32, 1024, 1024, 11);
    ASSERT_TRUE(samplekit::WriteChunks(dir.File("big.dds"), samplekit::SplitTexture(preamble, levels)));
    const samplekit::Bytes joined = samplekit::JoinTexture(preamble, levels);
    const std::string big(joined.begin(), joined.end());
    int ended = 0;
    for (const DWORD delay : {0u, 30u, 60u, 90u, 120u, 150u, 200u, 250u, 300u, 400u}) {
        SCOPED_TRACE("ended after " + std::to_string(delay) + " ms");
        WriteFileBytes(dir.File("out.dds"), "the previous output");
        ended += EndedAfter(TEXWELD_WINDOWS_EXE, "big.dds.0 out.dds", dir.Path(), delay) ? 1 : 0;
        const std::string output = ReadFileBytes(dir.File("out.dds"));
        EXPECT_TRUE(output == "the previous output" || output == big);
        EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "big.dds.0 out.dds")), expected_lines::Unsplit("big.dds"));
        EXPECT_TRUE(Holds(dir.File("out.dds"), big));
        EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
    }
    EXPECT_GT(ended, 0) << "no run was ended before it finished";
}

TEST_F(TexweldWindows, ChunksOtherReadersShareAreRead) {
    HANDLE first = Hold("tex.dds.0", GENERIC_READ, FILE_SHARE_READ);
    HANDLE largest = Hold("tex.dds.4", GENERIC_READ, FILE_SHARE_READ);
    const std::string line = OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds"));
    CloseHandle(largest);
    CloseHandle(first);
    EXPECT_EQ(line, expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("out.dds"), expected));
}

TEST_F(TexweldWindows, ReadOnlyOutputIsNotReplaced) {
    WriteFileBytes(dir.File("out.dds"), "the previous output");
    ASSERT_TRUE(SetFileAttributesA(dir.File("out.dds").c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE writer = CreateFileA(dir.File("out.dds").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
        SetFileAttributesA(dir.File("out.dds").c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "read-only files can be written here (Wine run by root)";
    }
    const std::string line = OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds"));
    SetFileAttributesA(dir.File("out.dds").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(line, expected_lines::CannotOpen("out.dds"));
    EXPECT_TRUE(Holds(dir.File("out.dds"), "the previous output"));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

TEST_F(TexweldWindows, NullDeviceOutputIsWrittenInPlace) {
    for (const char* device : {"NUL", "nul", "\\\\.\\NUL"}) {
        SCOPED_TRACE(device);
        EXPECT_EQ(OneLine(RunTexweld(dir.Path(), std::string("tex.dds.0 ") + device)),
                  expected_lines::Unsplit("tex.dds"));
        EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
    }
    EXPECT_FALSE(FileExists(dir.File("tex.dds")));
}

TEST_F(TexweldWindows, OutputInAFolderNamedWithBackslashesOrADrive) {
    ASSERT_TRUE(CreateDirectoryA(dir.File("sub").c_str(), nullptr));
    WriteFileBytes(dir.File("sub/out.dds"), "the previous output");
    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "tex.dds.0 sub\\out.dds")), expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("sub/out.dds"), expected));

    // "C:name" is relative to drive C's current folder, which for the child
    // is its own folder when that lies on C:.
    const std::string& folder = dir.Path();
    if (folder.size() > 2 && folder[1] == ':') {
        const std::string drive = folder.substr(0, 2);
        EXPECT_EQ(OneLine(RunTexweld(folder, "tex.dds.0 " + drive + "drive.dds")), expected_lines::Unsplit("tex.dds"));
        EXPECT_TRUE(Holds(dir.File("drive.dds"), expected));
    }
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

TEST_F(TexweldWindows, ReplacedOutputKeepsItsHiddenAttribute) {
    WriteFileBytes(dir.File("out.dds"), "the previous output");
    ASSERT_TRUE(SetFileAttributesA(dir.File("out.dds").c_str(), FILE_ATTRIBUTE_HIDDEN));
    if ((GetFileAttributesA(dir.File("out.dds").c_str()) & FILE_ATTRIBUTE_HIDDEN) == 0) {
        GTEST_SKIP() << "this file system keeps no hidden attribute";
    }
    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds")), expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("out.dds"), expected));
    EXPECT_NE(GetFileAttributesA(dir.File("out.dds").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

// Both programs in a folder whose path is past 1,100 characters (six
// nested folders of 190): the set lock, the staged names and the journal
// take no length limit of their own. Only where the system takes such
// paths through the 8-bit file calls: Windows 10 and later with its
// long-path setting on (the programs declare themselves long-path aware),
// not Wine, which stops them at MAX_PATH.
TEST_F(TexweldWindows, WeldAndSplitInAFolderPastAThousandCharacters) {
    std::string folder = dir.Path();
    for (char name = 'a'; name < 'g'; ++name) {
        folder += "\\" + std::string(190, name);
        if (!CreateDirectoryA(folder.c_str(), nullptr)) {
            ASSERT_GT(folder.size(), static_cast<std::size_t>(MAX_PATH));
            GTEST_SKIP() << "the 8-bit file calls here take no path past MAX_PATH";
        }
    }
    ASSERT_GT(folder.size(), 1100u);
    for (int k = 0; k <= 4; ++k) {
        const std::string chunk = "tex.dds." + std::to_string(k);
        WriteFileBytes(folder + "\\" + chunk, ReadFileBytes(dir.File(chunk)));
    }
    const std::string base = folder + "\\tex.dds";
    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "\"" + base + ".0\"")), expected_lines::Unsplit(base));
    EXPECT_TRUE(Holds(base, expected));
    const RunResult split = RunProgram(TEXSPLIT_WINDOWS_EXE, dir.Path(), "\"" + base + "\"");
    EXPECT_EQ(split.out, expected_lines::Split(base, 5, base) + "\r\n");
    EXPECT_TRUE(Holds(base + ".4", ReadFileBytes(dir.File("tex.dds.4"))));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

// A DACL that lets the user alone in, protected from the folder's ACEs;
// false where it cannot be set.
bool LetOnlyTheUserIn(const std::string& path) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    alignas(TOKEN_USER) unsigned char user[256] = {};
    DWORD size = 0;
    const bool known = GetTokenInformation(token, TokenUser, user, sizeof user, &size) != FALSE;
    CloseHandle(token);
    EXPLICIT_ACCESSA access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.ptstrName = static_cast<LPSTR>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    PACL acl = nullptr;
    if (!known || SetEntriesInAclA(1, &access, nullptr, &acl) != ERROR_SUCCESS) {
        return false;
    }
    const bool set = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, acl, nullptr) == ERROR_SUCCESS;
    LocalFree(acl);
    return set;
}

// Whether the file's DACL is protected and holds exactly one ACE.
bool HasTheUsersDaclAlone(const std::string& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool alone = GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                       (control & SE_DACL_PROTECTED) != 0 && dacl != nullptr && dacl->AceCount == 1;
    LocalFree(descriptor);
    return alone;
}

// A file that lets fewer in than its folder does is replaced by either
// program with that DACL, so nobody gains access by the replacement.
TEST_F(TexweldWindows, ReplacementsKeepTheOldFilesDacl) {
    WriteFileBytes(dir.File("out.dds"), "the previous output");
    // Wine reports a DACL made from the Unix mode bits, and keeps no other.
    if (!LetOnlyTheUserIn(dir.File("out.dds")) || !HasTheUsersDaclAlone(dir.File("out.dds"))) {
        GTEST_SKIP() << "this file system keeps no DACL";
    }
    EXPECT_FALSE(HasTheUsersDaclAlone(dir.File("tex.dds.4")));
    ASSERT_TRUE(LetOnlyTheUserIn(dir.File("tex.dds.4")));
    EXPECT_EQ(OneLine(RunTexweld(dir.Path(), "tex.dds.0 out.dds")), expected_lines::Unsplit("tex.dds"));
    EXPECT_TRUE(Holds(dir.File("out.dds"), expected));
    EXPECT_TRUE(HasTheUsersDaclAlone(dir.File("out.dds")));
    const RunResult split = RunProgram(TEXSPLIT_WINDOWS_EXE, dir.Path(), "out.dds tex.dds");
    EXPECT_EQ(split.out, expected_lines::Split("out.dds", 5, "tex.dds") + "\r\n");
    EXPECT_TRUE(HasTheUsersDaclAlone(dir.File("tex.dds.4")));
    EXPECT_FALSE(HasTheUsersDaclAlone(dir.File("tex.dds.3")));
    EXPECT_EQ(TemporaryFiles(dir.Path()), std::vector<std::string>{});
}

}  // namespace

namespace {

// Names a code page cannot hold become "?", which no file name may contain,
// never a look-alike that names another file.
TEST(WindowsNames, ConvertExactlyOrToANameNoFileHas) {
    struct Case {
        const wchar_t* wide;
        const char* narrow;
    };
    for (const Case& c : {Case{L"out.dds", "out.dds"}, Case{L"caf\u00e9.dds", "caf\xe9.dds"},
                          Case{L"\u03a9ut.dds", "?ut.dds"}, Case{L"\u65e5\u672c.dds", "??.dds"}}) {
        char* narrow = ToCodePageExactly(c.wide, 1252);
        ASSERT_NE(narrow, nullptr);
        EXPECT_STREQ(narrow, c.narrow);
        delete[] narrow;
    }
}

// The version resource names the product and carries the project's version.
TEST(WindowsResources, VersionResourceCarriesTheProjectVersion) {
    const std::string exe = TexweldExe();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));
    for (const auto& [key, expected] :
         {std::pair<const char*, std::string>{"ProductName", "Texweld"}, {"FileVersion", TEXWELD_VERSION},
          {"ProductVersion", TEXWELD_VERSION}, {"OriginalFilename", "texweld.exe"}}) {
        void* value = nullptr;
        UINT length = 0;
        const std::string path = std::string("\\StringFileInfo\\040904B0\\") + key;
        ASSERT_TRUE(VerQueryValueA(block.data(), path.c_str(), &value, &length)) << key;
        EXPECT_EQ(std::string(static_cast<const char*>(value)), expected) << key;
    }
}

}  // namespace
