#include "app/set_journal.h"

#include "app/chunk_layout.h"
#include "platform/file_system.h"
#include "platform/win32.h"
#include "support/byte_buffer.h"
#include "support/file_access.h"
#include "support/string_buffer.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr char kNewSuffix[] = ".texweld-new";
constexpr char kOldSuffix[] = ".texweld-old";
constexpr char kJournalSuffix[] = ".texweld-journal";

// The journal's first and last words, and its two kinds of entry.
constexpr char kHeader[] = "texweld-journal 1";
constexpr char kEnd[] = "end";
constexpr char kRenamed[] = "R";
constexpr char kRemoved[] = "D";

// `path` with its last name hidden and marked: <folder>.<name><suffix>.
char* Beside(const char* path, const char* suffix) {
    const std::size_t length = std::strlen(path);
    const std::size_t folder = FolderPartLength(path);
    const std::size_t suffixLength = std::strlen(suffix);
    char* name = new (std::nothrow) char[length + 1 + suffixLength + 1];
    if (name != nullptr) {
        std::memcpy(name, path, folder);
        name[folder] = '.';
        std::memcpy(name + folder + 1, path + folder, length - folder);
        std::memcpy(name + length + 1, suffix, suffixLength + 1);
    }
    return name;
}

bool Exists(const char* path, bool& exists) {
    const PathKind kind = GetPathKind(path);
    exists = kind != PathKind::Missing;
    return kind != PathKind::Unreadable;
}

// Removes `path`; true when it is gone, or was never there.
bool Gone(const char* path) {
    return path == nullptr || path[0] == '\0' || DeleteFileA(path) || GetPathKind(path) == PathKind::Missing;
}

// A journal read back: its entries point into the buffer it was read into.
struct ReadJournal {
    static constexpr std::uint32_t kMostEntries = 2 * kMostLevels + 2;
    JournalEntry entries[kMostEntries];
    std::uint32_t count = 0;
};

// The next NUL-terminated word of `buffer` from `at`; null at its end.
const char* NextWord(const ByteBuffer& buffer, std::uint32_t& at) {
    if (at >= buffer.size) {
        return nullptr;
    }
    const auto* start = reinterpret_cast<const char*>(buffer.data + at);
    const void* end = std::memchr(start, '\0', buffer.size - at);
    if (end == nullptr) {
        return nullptr;
    }
    at += static_cast<std::uint32_t>(static_cast<const char*>(end) - start) + 1;
    return start;
}

// Parses a whole journal; false for one cut short (written by a run killed
// before its first rename) or not a journal at all.
bool Parse(const ByteBuffer& buffer, ReadJournal& journal) {
    std::uint32_t at = 0;
    const char* word = NextWord(buffer, at);
    if (word == nullptr || std::strcmp(word, kHeader) != 0) {
        return false;
    }
    while ((word = NextWord(buffer, at)) != nullptr) {
        if (std::strcmp(word, kEnd) == 0) {
            return at == buffer.size;
        }
        const bool renamed = std::strcmp(word, kRenamed) == 0;
        if ((!renamed && std::strcmp(word, kRemoved) != 0) || journal.count == ReadJournal::kMostEntries) {
            return false;
        }
        JournalEntry& entry = journal.entries[journal.count++];
        entry.staged = renamed ? NextWord(buffer, at) : nullptr;
        entry.name = NextWord(buffer, at);
        entry.backup = NextWord(buffer, at);
        if ((renamed && entry.staged == nullptr) || entry.name == nullptr || entry.backup == nullptr) {
            return false;
        }
        if (entry.backup[0] == '\0') {
            entry.backup = nullptr;
        }
    }
    return false;
}

// Finishes or undoes the commit `journal` describes; true when every name
// is the old set's or the new one's again and nothing of the commit is left.
bool Replay(const ReadJournal& journal) {
    bool forward = true;
    for (std::uint32_t i = 0; i < journal.count; ++i) {
        const JournalEntry& entry = journal.entries[i];
        bool there = false;
        if (!Exists(entry.staged != nullptr ? entry.staged : entry.name, there)) {
            return false;
        }
        forward = forward && !there;
    }
    bool whole = true;
    if (!forward) {
        // Back to the old set: every changed name, last first, from its backup.
        for (std::uint32_t i = journal.count; i-- > 0;) {
            const JournalEntry& entry = journal.entries[i];
            bool undone = false;
            bool kept = false;
            if (!Exists(entry.staged != nullptr ? entry.staged : entry.name, undone) ||
                (entry.backup != nullptr && !Exists(entry.backup, kept))) {
                return false;
            }
            if (undone) {
                continue;  // never renamed, or never removed
            }
            if (entry.backup == nullptr) {
                whole = Gone(entry.name) && whole;  // a name the set did not have
            } else if (kept) {
                whole = MoveFileExA(entry.backup, entry.name, MOVEFILE_REPLACE_EXISTING) != FALSE && whole;
            }
        }
    }
    for (std::uint32_t i = 0; i < journal.count && whole; ++i) {
        const JournalEntry& entry = journal.entries[i];
        whole = Gone(entry.staged) && Gone(entry.backup) && FlushFolderOf(entry.name);
    }
    return whole;
}

}  // namespace

char* StagedNameFor(const char* path) {
    return Beside(path, kNewSuffix);
}

char* BackupNameFor(const char* path) {
    return Beside(path, kOldSuffix);
}

char* JournalNameFor(const char* base) {
    return Beside(base, kJournalSuffix);
}

bool WriteJournal(HANDLE handle, const char* journal, const JournalEntry* entries, std::uint32_t count, bool flush) {
    const auto text = [](const char* word) { return word != nullptr ? word : ""; };
    std::size_t size = sizeof kHeader + sizeof kEnd;
    for (std::uint32_t i = 0; i < count; ++i) {
        size += 2 + (entries[i].staged != nullptr ? std::strlen(entries[i].staged) + 1 : 0) +
                std::strlen(entries[i].name) + 1 + std::strlen(text(entries[i].backup)) + 1;
    }
    if (size > UINT32_MAX) {
        return false;
    }
    const std::unique_ptr<char[]> bytes(new (std::nothrow) char[size]);
    if (!bytes) {
        return false;
    }
    char* at = bytes.get();
    const auto put = [&at](const char* word) {
        const std::size_t length = std::strlen(word) + 1;
        std::memcpy(at, word, length);
        at += length;
    };
    put(kHeader);
    for (std::uint32_t i = 0; i < count; ++i) {
        put(entries[i].staged != nullptr ? kRenamed : kRemoved);
        if (entries[i].staged != nullptr) {
            put(entries[i].staged);
        }
        put(entries[i].name);
        put(text(entries[i].backup));
    }
    put(kEnd);
    DWORD written = 0;
    return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(handle, bytes.get(), static_cast<DWORD>(size), &written, nullptr) && written == size &&
           (!flush || (FlushFileBuffers(handle) && FlushFolderOf(journal)));
}

JournalState FindJournal(const char* base) {
    const std::unique_ptr<char[]> journal(JournalNameFor(base));
    if (!journal) {
        return JournalState::Unknown;
    }
    switch (GetPathKind(journal.get())) {
    case PathKind::Missing:
        return JournalState::None;
    case PathKind::Unreadable:
        return JournalState::Unknown;
    case PathKind::RegularFile:
    case PathKind::Link:
    case PathKind::Other:
        break;
    }
    return JournalState::Present;
}

Recovery RecoverSet(const char* base, std::int32_t& firstChunk) {
    firstChunk = -1;
    const std::unique_ptr<char[]> journal(JournalNameFor(base));
    if (!journal) {
        return Recovery::Failed;
    }
    switch (GetPathKind(journal.get())) {
    case PathKind::Missing:
        return Recovery::Clean;
    case PathKind::RegularFile: {
        ByteBuffer bytes(kBufferGranularity);
        ReadJournal read;
        if (!ReadFileIntoBuffer(journal.get(), bytes)) {
            return Recovery::Failed;
        }
        if (Parse(bytes, read)) {
            if (read.count > 0 && NumberedStem(read.entries[0].name, firstChunk) < 0) {
                firstChunk = -1;
            }
            if (!Replay(read)) {
                return Recovery::Failed;
            }
        }
        // A journal cut short was written before any name changed: what
        // its run staged is swept below.
        break;
    }
    case PathKind::Link:
    case PathKind::Other:
    case PathKind::Unreadable:
        return Recovery::Failed;
    }
    TStringBufferA<260> chunk;
    for (std::uint32_t number = 0; number <= kMostLevels; ++number) {
        if (chunk.Format("%s.%u", base, static_cast<unsigned>(number)) <= 0) {
            return Recovery::Failed;
        }
        const std::unique_ptr<char[]> staged(StagedNameFor(chunk.GetString()));
        const std::unique_ptr<char[]> backup(BackupNameFor(chunk.GetString()));
        if (!staged || !backup || !Gone(staged.get()) || !Gone(backup.get())) {
            return Recovery::Failed;
        }
    }
    // The journal goes last: until then, a run killed here is finished by
    // the next.
    return Gone(journal.get()) && FlushFolderOf(journal.get()) ? Recovery::Recovered : Recovery::Failed;
}
