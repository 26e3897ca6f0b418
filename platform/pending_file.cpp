// The order in which staged and kept files are made, named and removed,
// written once over each platform's primitives (platform/file_primitives.h).
#include "platform/pending_file.h"

#include "platform/file_primitives.h"
#include "platform/temporary_name.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// How many random names are tried before a taken name counts as a failure.
constexpr std::size_t kNameAttempts = 16;

// Room for any name a file beside `finalName` may take, terminator included.
std::size_t NameBlockSize(const char* finalName, const char* fixedName) {
    std::size_t size = TemporaryNameSize(FolderPartLength(finalName));
    if (SlotNameSize(finalName) > size) {
        size = SlotNameSize(finalName);
    }
    if (fixedName != nullptr && std::strlen(fixedName) + 1 > size) {
        size = std::strlen(fixedName) + 1;
    }
    return size;
}

FileResult FromStep(StepResult step) {
    switch (step) {
    case StepResult::Done:
        return FileResult::Done;
    case StepResult::FolderRefuses:
        return FileResult::FolderRefuses;
    case StepResult::InUse:
        return FileResult::InUse;
    case StepResult::Taken:
    case StepResult::Unsupported:
    case StepResult::Failed:
        break;
    }
    return FileResult::Failed;
}

}  // namespace

// --- ListedName --------------------------------------------------------------

char* ListedName::Start(std::size_t size) {
    Remove();
    char* block = new (std::nothrow) char[size];
    if (block == nullptr) {
        return nullptr;
    }
    block[0] = '\0';
    NameChange change;
    name_ = block;
    NameList::Add(*this);
    return block;
}

void ListedName::Write(const char* finalName, const char* fixedName, bool slotted, std::size_t attempt) {
    const std::uint64_t bits = fixedName == nullptr && !(slotted && attempt < kSlots) ? RandomBits() : 0;
    NameChange change;
    char* block = name_;
    if (fixedName != nullptr) {
        std::memcpy(block, fixedName, std::strlen(fixedName) + 1);
    } else if (slotted && attempt < kSlots) {
        WriteSlotName(block, finalName, attempt);
    } else {
        const std::size_t folderLength = FolderPartLength(finalName);
        std::memcpy(block, finalName, folderLength);
        WriteTemporaryName(block, folderLength, bits);
    }
}

void ListedName::Forget() {
    NameChange change;
    if (name_ != nullptr) {
        name_[0] = '\0';
    }
}

bool ListedName::MayTryAgain(const char* fixedName, bool slotted, std::size_t attempt) {
    if (fixedName != nullptr) {
        return attempt == 0 && RemoveName(name_);
    }
    return attempt + 1 < kNameAttempts + (slotted ? kSlots : 0);
}

bool ListedName::Remove() {
    char* block = name_;
    if (block != nullptr && block[0] != '\0' && !RemoveName(block)) {
        Leave();
        return false;
    }
    Leave();
    return true;
}

void ListedName::Leave() {
    char* block = nullptr;
    {
        NameChange change;
        if (listed_) {
            NameList::Drop(*this);
        }
        block = name_;
        name_ = nullptr;
    }
    delete[] block;
}

// --- StagedFile --------------------------------------------------------------

FileResult StagedFile::Create(const char* finalName, const char* replaced, const char* stagedName) {
    return Create(finalName, replaced, stagedName, false);
}

FileResult StagedFile::CreateFindable(const char* finalName, const char* replaced) {
    if (SlotsAreFindable()) {
        // The slots that dead runs left go first.
        const std::unique_ptr<char[]> slot(new (std::nothrow) char[SlotNameSize(finalName)]);
        if (!slot) {
            return FileResult::Failed;
        }
        for (std::size_t k = 0; k < kSlots; ++k) {
            WriteSlotName(slot.get(), finalName, k);
            RemoveIfDead(slot.get());
        }
    }
    return Create(finalName, replaced, nullptr, SlotsAreFindable());
}

FileResult StagedFile::Create(const char* finalName, const char* replaced, const char* stagedName, bool findable) {
    Discard();
    if (replaced != nullptr) {
        if (const FileResult read = ReadAccessRules(replaced, access_); read != FileResult::Done) {
            return read;
        }
    }
    if (Start(NameBlockSize(finalName, stagedName)) == nullptr) {
        Discard();
        return FileResult::Failed;
    }
    fixedName_ = stagedName;
    findable_ = findable;
    HANDLE handle = INVALID_HANDLE_VALUE;
    StepResult step = CreateAnonymous(finalName, access_, handle);
    if (step == StepResult::Done) {
        anonymous_ = true;
    }
    // No anonymous file here: an exclusive name that no link can stand in for.
    for (std::size_t attempt = 0; step == StepResult::Unsupported || step == StepResult::Taken; ++attempt) {
        Write(finalName, fixedName_, findable_, attempt);
        step = CreateExclusive(Name(), access_, true, handle);
        // A slot is used only once its writer's lock is on it and its name
        // still leads to it: another weld may take a slot whose lock is not
        // yet on, remove it and make its own there.
        if (step == StepResult::Done && findable_ && !LockForLife(handle, Name())) {
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
            step = StepResult::Taken;
        }
        if (step == StepResult::Taken && !MayTryAgain(fixedName_, findable_, attempt)) {
            break;
        }
        vanishing_ = step == StepResult::Done;
    }
    // An anonymous file is locked before it has any name.
    if (step == StepResult::Done && anonymous_ && findable_ && !LockForLife(handle, nullptr)) {
        CloseHandle(handle);
        step = StepResult::Failed;
    }
    if (step != StepResult::Done) {
        Forget();  // whatever is there is not this file
        Discard();
        return FromStep(step);
    }
    handle_ = handle;
    return FileResult::Done;
}

FileResult StagedFile::CreateNamed(const char* name) {
    Discard();
    if (Start(std::strlen(name) + 1) == nullptr) {
        return FileResult::Failed;
    }
    fixedName_ = name;
    StepResult step = StepResult::Taken;
    for (std::size_t attempt = 0; step == StepResult::Taken; ++attempt) {
        Write(name, name, false, attempt);
        step = CreateExclusive(Name(), access_, false, handle_);
        if (step == StepResult::Taken && !MayTryAgain(name, false, attempt)) {
            break;
        }
    }
    if (step != StepResult::Done) {
        handle_ = INVALID_HANDLE_VALUE;
        Forget();
        Discard();
    }
    return FromStep(step);
}

FileResult StagedFile::Stage(const char* finalName, bool flush) {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return Name() != nullptr && Name()[0] != '\0' ? FileResult::Done : FileResult::Failed;
    }
    // A replacement's bytes reach the disk before it can take the old
    // file's name: a rename persisted before the data would leave an empty
    // file where the old one was.
    FileResult result = !flush || FlushFileBuffers(handle_) ? FileResult::Done : FileResult::Failed;
    if (result == FileResult::Done && access_.kept) {
        result = ApplyAccessRules(handle_, access_);
    }
    StepResult step = StepResult::Taken;
    for (std::size_t attempt = 0; result == FileResult::Done && anonymous_ && step == StepResult::Taken; ++attempt) {
        Write(finalName, fixedName_, findable_, attempt);
        step = NameAnonymous(handle_, Name());
        if (step == StepResult::Taken && !MayTryAgain(fixedName_, findable_, attempt)) {
            break;
        }
        if (step != StepResult::Done && step != StepResult::Taken) {
            result = FromStep(step);
        }
    }
    if (anonymous_ && step != StepResult::Done) {
        Forget();  // whatever is there is not this file
        result = result == FileResult::Done ? FileResult::Failed : result;
    }
    anonymous_ = false;
    if (result == FileResult::Done && vanishing_ && !Persist(handle_)) {
        result = FileResult::Failed;
    }
    vanishing_ = false;
    if (result == FileResult::Done && findable_) {
        KeepLock(handle_, heldLock_);
    }
    // A close can report a write that failed late (on a network file system).
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!CloseReporting(handle) && result == FileResult::Done) {
        result = FileResult::Failed;
    }
    if (result == FileResult::Done && access_.kept) {
        result = ApplyAccessRulesByName(Name(), finalName, access_);
    }
    if (result != FileResult::Done) {
        Discard();
    }
    return result;
}

FileResult StagedFile::Commit(const char* finalName, bool flush) {
    // From its temporary name to its final one, an interrupt waits: it
    // lands before (the file goes) or after (the file is in place).
    InterruptsHeld held;
    const FileResult staged = Stage(finalName, flush);
    if (staged != FileResult::Done) {
        return staged;
    }
    const StepResult renamed = RenameOver(Name(), finalName);
    if (renamed == StepResult::Done) {
        Forget();
    }
    Discard();
    return FromStep(renamed);
}

void StagedFile::Discard() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);  // a file marked for deletion goes now
        handle_ = INVALID_HANDLE_VALUE;
    }
    Remove();
    DropLock(heldLock_);
    ReleaseAccessRules(access_);
    fixedName_ = nullptr;
    findable_ = anonymous_ = vanishing_ = false;
}

// --- KeptFile ----------------------------------------------------------------

FileResult KeptFile::Keep(const char* existing, const char* keptName) {
    if (Start(NameBlockSize(existing, keptName)) == nullptr) {
        return FileResult::Failed;
    }
    StepResult step = StepResult::Taken;
    for (std::size_t attempt = 0; step == StepResult::Taken; ++attempt) {
        Write(existing, keptName, false, attempt);
        // A second name for the file: no data is copied, and nothing can run
        // out of room later when it is given back.
        step = LinkOrCopy(existing, Name());
        if (step == StepResult::Taken && !MayTryAgain(keptName, false, attempt)) {
            break;
        }
    }
    if (step != StepResult::Done) {
        Forget();
        Remove();
        return FileResult::Failed;
    }
    return FileResult::Done;
}
