#include "app/set_journal.h"

#include "platform/file_system.h"
#include "platform/win32.h"
#include "support/string_buffer.h"

#include <cstddef>
#include <cstring>
#include <new>

namespace {

constexpr char kNewSuffix[] = ".texweld-new";
constexpr char kOldSuffix[] = ".texweld-old";
constexpr char kJournalSuffix[] = ".texweld-journal";
constexpr char kDoneSuffix[] = ".texweld-done";

// The journal, little-endian: magic, version, the size of the whole
// journal, the length of the base's file name; for each chunk number its
// change (one byte); the name; a CRC-32 of every byte before it.
constexpr std::uint8_t kMagic[8] = {'t', 'e', 'x', 'w', 'e', 'l', 'd', 'J'};
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kHeaderBytes = sizeof kMagic + 3 * 4;
constexpr std::uint32_t kEntryBytes = 1;
constexpr std::uint32_t kChecksumBytes = 4;
constexpr std::uint32_t kFixedBytes = kHeaderBytes + (kMostLevels + 1) * kEntryBytes + kChecksumBytes;
// The longest file name a base may have in a journal: more than any file
// system holds (255 characters, twice that in a double-byte code page).
constexpr std::uint32_t kMostNameBytes = 1024;
// The largest journal a commit writes; a larger file is no journal of ours.
constexpr std::uint32_t kLargestJournal = kFixedBytes + kMostNameBytes;

static_assert(kFixedBytes == 57, "the journal's layout is fixed");

void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t Get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// CRC-32 (the polynomial of zip and PNG) of `size` bytes.
std::uint32_t Crc32(const std::uint8_t* bytes, std::uint32_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint32_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// The file name of `path`, after its folder part.
const char* FileNameOf(const char* path) {
    return path + FolderPartLength(path);
}

// Whether two names are one, ASCII letters in either case (the case a
// file system that ignores it may hand back).
bool SameName(const std::uint8_t* a, std::uint32_t length, const char* b) {
    if (std::strlen(b) != length) {
        return false;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        const auto lower = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        if (lower(a[i]) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// `path` with its file name hidden and marked: <folder>.<name><suffix>.
std::unique_ptr<char[]> Beside(const char* path, const char* suffix) {
    const std::size_t length = std::strlen(path);
    const std::size_t folder = FolderPartLength(path);
    const std::size_t suffixLength = std::strlen(suffix);
    std::unique_ptr<char[]> name(new (std::nothrow) char[length + 1 + suffixLength + 1]);
    if (name) {
        std::memcpy(name.get(), path, folder);
        name[folder] = '.';
        std::memcpy(name.get() + folder + 1, path + folder, length - folder);
        std::memcpy(name.get() + length + 1, suffix, suffixLength + 1);
    }
    return name;
}

std::unique_ptr<char[]> Copy(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy) {
        std::memcpy(copy.get(), text, size);
    }
    return copy;
}

// Removes `path` if it is there; true when it is gone.
bool RemoveIfThere(const char* path) {
    return DeleteFileA(path) || GetPathKind(path) == PathKind::Missing;
}

enum class JournalRead { Missing, Whole, CutShort, Bad };

// Reads the `size` bytes of a journal of the set whose file name is `name`.
// A journal shorter than its header says, or all zeros (its data never
// reached the disk before a power loss), was being written when its run
// died, before any name changed: CutShort. Bad for anything that is not a
// whole journal of this set.
JournalRead Parse(const std::uint8_t* bytes, std::uint32_t size, const char* name, SetChanges& changes) {
    std::uint8_t header[sizeof kMagic + 4];
    std::memcpy(header, kMagic, sizeof kMagic);
    Put32(header + sizeof kMagic, kVersion);
    bool zeros = true;
    for (std::uint32_t i = 0; i < size && zeros; ++i) {
        zeros = bytes[i] == 0;
    }
    const std::uint32_t known = size < sizeof header ? size : static_cast<std::uint32_t>(sizeof header);
    if (zeros) {
        return JournalRead::CutShort;
    }
    if (std::memcmp(bytes, header, known) != 0) {
        return JournalRead::Bad;
    }
    if (size < kHeaderBytes) {
        return JournalRead::CutShort;
    }
    const std::uint32_t declared = Get32(bytes + 12);
    const std::uint32_t nameLength = Get32(bytes + 16);
    if (declared < kFixedBytes || declared > kLargestJournal || nameLength != declared - kFixedBytes) {
        return JournalRead::Bad;
    }
    if (size < declared) {
        return JournalRead::CutShort;
    }
    const std::uint32_t body = declared - kChecksumBytes;
    if (size != declared || Get32(bytes + body) != Crc32(bytes, body) ||
        !SameName(bytes + kFixedBytes - kChecksumBytes, nameLength, name)) {
        return JournalRead::Bad;
    }
    for (std::uint32_t k = 0; k <= kMostLevels; ++k) {
        const std::uint8_t* entry = bytes + kHeaderBytes + k * kEntryBytes;
        const auto change = static_cast<ChunkChange>(entry[0]);
        if (change != ChunkChange::None && change != ChunkChange::Replaced && change != ChunkChange::Created &&
            change != ChunkChange::Removed) {
            return JournalRead::Bad;
        }
        changes.change[k] = change;
    }
    return JournalRead::Whole;
}

// Reads the journal `path` of the set `base`, bounded, never through a link
// nor waiting on a pipe: Bad for anything but a regular file no larger than
// a journal, and one that does not parse; `ours` says whether the running
// user owns it.
JournalRead ReadJournal(const char* path, const char* base, SetChanges& changes, bool& ours) {
    // One byte more than the largest journal tells a larger file.
    std::uint8_t bytes[kLargestJournal + 1];
    std::uint32_t size = 0;
    const FoundFile found = ExamineFile(path, bytes, sizeof bytes, &size);
    ours = found.ours;
    if (found.kind == FoundFile::Kind::Missing) {
        return JournalRead::Missing;
    }
    if (found.kind != FoundFile::Kind::RegularFile || size > kLargestJournal) {
        return JournalRead::Bad;
    }
    return Parse(bytes, size, FileNameOf(base), changes);
}

// The highest chunk `changes` replaces or creates, else the highest it
// removes; -1 for none.
std::int32_t FirstChunkOf(const SetChanges& changes) {
    std::int32_t removed = -1;
    for (std::uint32_t k = kMostLevels + 1; k-- > 0;) {
        if (changes.change[k] == ChunkChange::Replaced || changes.change[k] == ChunkChange::Created) {
            return static_cast<std::int32_t>(k);
        }
        if (changes.change[k] == ChunkChange::Removed && removed < 0) {
            removed = static_cast<std::int32_t>(k);
        }
    }
    return removed;
}

// Whether `path` may be touched by a rollback: nothing there, or a regular
// file of the running user's (then `there` is set). Names it in `report`
// when not.
bool MayTouch(const char* path, RecoveryReport& report, bool& there) {
    const FoundFile found = ExamineFile(path);
    if (found.kind == FoundFile::Kind::Missing) {
        return true;
    }
    if (found.kind == FoundFile::Kind::RegularFile && found.ours) {
        there = true;
        return true;
    }
    report.outcome = Recovery::Refused;
    report.inTheWay = Copy(path);
    return false;
}

}  // namespace

bool DeriveChunkNames(const char* base, std::uint32_t number, ChunkNames& names) {
    TStringBufferA<260> chunk;
    if (chunk.Format("%s.%u", base, static_cast<unsigned>(number)) <= 0) {
        return false;
    }
    names.chunk = Copy(chunk.GetString());
    if (!names.chunk) {
        return false;
    }
    if (GetPathKind(names.chunk.get()) == PathKind::Link) {
        const std::unique_ptr<char[]> room(new (std::nothrow) char[kLongestResolvedPath]);
        if (!room || !ResolveLinks(names.chunk.get(), room.get(), kLongestResolvedPath)) {
            return false;
        }
        names.target = Copy(room.get());
    } else {
        names.target = Copy(names.chunk.get());
    }
    if (names.target) {
        names.staged = Beside(names.target.get(), kNewSuffix);
        names.backup = Beside(names.target.get(), kOldSuffix);
    }
    return names.target && names.staged && names.backup;
}

std::unique_ptr<char[]> JournalNameFor(const char* base) {
    return Beside(base, kJournalSuffix);
}

std::unique_ptr<char[]> DoneMarkerFor(const char* base) {
    return Beside(base, kDoneSuffix);
}

bool WriteJournal(HANDLE handle, const char* base, const SetChanges& changes) {
    const char* name = FileNameOf(base);
    const std::size_t nameLength = std::strlen(name);
    if (nameLength == 0 || nameLength > kMostNameBytes) {
        return false;
    }
    const auto size = static_cast<std::uint32_t>(kFixedBytes + nameLength);
    std::uint8_t bytes[kLargestJournal] = {};
    std::memcpy(bytes, kMagic, sizeof kMagic);
    Put32(bytes + 8, kVersion);
    Put32(bytes + 12, size);
    Put32(bytes + 16, static_cast<std::uint32_t>(nameLength));
    for (std::uint32_t k = 0; k <= kMostLevels; ++k) {
        std::uint8_t* entry = bytes + kHeaderBytes + k * kEntryBytes;
        entry[0] = static_cast<std::uint8_t>(changes.change[k]);
    }
    std::memcpy(bytes + kFixedBytes - kChecksumBytes, name, nameLength);
    Put32(bytes + size - kChecksumBytes, Crc32(bytes, size - kChecksumBytes));
    DWORD written = 0;
    return WriteFile(handle, bytes, size, &written, nullptr) && written == size;
}

bool FlushSetFolders(const char* journal, const ChunkNames* names) {
    const char* flushed[kMostLevels + 2];
    std::uint32_t count = 0;
    bool whole = true;
    const auto flush = [&](const char* path) {
        const std::size_t folder = FolderPartLength(path);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (FolderPartLength(flushed[i]) == folder && std::strncmp(flushed[i], path, folder) == 0) {
                return;
            }
        }
        flushed[count++] = path;
        whole = FlushFolderOf(path) && whole;
    };
    flush(journal);
    for (std::uint32_t k = 0; k <= kMostLevels; ++k) {
        if (names[k].target) {
            flush(names[k].target.get());
        }
    }
    return whole;
}

RecoveryReport RollBack(const char* base, const SetChanges& changes) {
    RecoveryReport report;
    report.firstChunk = FirstChunkOf(changes);
    const std::unique_ptr<char[]> journal = JournalNameFor(base);
    ChunkNames names[kMostLevels + 1];
    bool staged[kMostLevels + 1] = {};  // what is there to remove
    bool backup[kMostLevels + 1] = {};
    bool changed = false;
    bool left = false;
    // Everything is looked at before anything is touched.
    for (std::uint32_t k = 0; k <= kMostLevels; ++k) {
        const ChunkChange change = changes.change[k];
        if (!journal || !DeriveChunkNames(base, k, names[k])) {
            report.outcome = Recovery::Failed;
            return report;
        }
        bool created = false;
        if (!MayTouch(names[k].staged.get(), report, staged[k]) || !MayTouch(names[k].backup.get(), report, backup[k]) ||
            (change == ChunkChange::Created && !MayTouch(names[k].target.get(), report, created))) {
            return report;
        }
        changed = changed || change != ChunkChange::None;
        left = left || staged[k] || backup[k];
    }
    // Each changed name gets its old file back; a name the set did not have
    // goes. A backup already gone was put back by an earlier rollback.
    bool whole = true;
    for (std::uint32_t k = kMostLevels + 1; k-- > 0;) {
        const ChunkNames& chunk = names[k];
        switch (changes.change[k]) {
        case ChunkChange::Replaced:
        case ChunkChange::Removed:
            if (GetPathKind(chunk.backup.get()) != PathKind::Missing) {
                whole = MoveFileExA(chunk.backup.get(), chunk.target.get(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) &&
                        whole;
            }
            break;
        case ChunkChange::Created:
            whole = RemoveIfThere(chunk.target.get()) && whole;
            break;
        case ChunkChange::None:
            break;
        }
    }
    // Then the staged files and the backups left go (a backup still there
    // is a second name of the file its chunk holds), and every name is on
    // the disk, once, before the journal or the marker goes.
    for (std::uint32_t k = 0; k <= kMostLevels && whole; ++k) {
        whole = (!staged[k] || RemoveIfThere(names[k].staged.get())) &&
                (!backup[k] || RemoveIfThere(names[k].backup.get()));
    }
    whole = whole && (!(changed || left) || FlushSetFolders(journal.get(), names));
    report.outcome = !whole ? Recovery::Failed : changed ? Recovery::Recovered : Recovery::Clean;
    return report;
}

RecoveryReport RecoverSet(const char* base) {
    RecoveryReport report;
    const std::unique_ptr<char[]> journal = JournalNameFor(base);
    const std::unique_ptr<char[]> marker = DoneMarkerFor(base);
    if (!journal || !marker) {
        report.outcome = Recovery::Failed;
        return report;
    }
    SetChanges changes;
    bool ours = false;
    const JournalRead read = ReadJournal(journal.get(), base, changes, ours);
    const bool journalThere = read != JournalRead::Missing;
    if (journalThere && (!ours || read == JournalRead::Bad)) {
        report.outcome = Recovery::Refused;
        report.inTheWay = Copy(journal.get());
        return report;
    }
    bool markerThere = false;
    if (!MayTouch(marker.get(), report, markerThere)) {
        return report;
    }
    report = RollBack(base, changes);
    if (report.outcome == Recovery::Refused || report.outcome == Recovery::Failed) {
        return report;
    }
    // The journal goes last: until then, a run killed here rolls back
    // again. The marker after it: until then, the backups are swept again.
    if ((journalThere && !(RemoveIfThere(journal.get()) && FlushFolderOf(journal.get()))) ||
        (markerThere && !RemoveIfThere(marker.get()))) {
        report.outcome = Recovery::Failed;
    } else if (journalThere || markerThere) {
        report.outcome = Recovery::Recovered;
    }
    return report;
}

JournalState FindJournal(const char* base) {
    const std::unique_ptr<char[]> journal = JournalNameFor(base);
    const std::unique_ptr<char[]> marker = DoneMarkerFor(base);
    if (!journal || !marker) {
        return JournalState::Unknown;
    }
    SetChanges changes;
    bool ours = false;
    switch (ReadJournal(journal.get(), base, changes, ours)) {
    case JournalRead::Whole:
    case JournalRead::Bad:
        return JournalState::Changing;
    case JournalRead::CutShort:
        return JournalState::Begun;
    case JournalRead::Missing:
        break;
    }
    return GetPathKind(marker.get()) == PathKind::Missing ? JournalState::None : JournalState::Begun;
}
