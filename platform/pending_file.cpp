// What pending files do alike on every platform, over the steps each
// platform's file supplies.
#include "platform/pending_file.h"

#include "platform/temporary_name.h"

PendingFile::Result PendingFile::Commit(const char* finalName) {
    // From its temporary name to its final one, an interrupt waits: it
    // lands before (the pending file goes) or after (the file is in place).
    InterruptsHeld held;
    const Result staged = Stage(finalName);
    if (staged != Result::Done) {
        return staged;
    }
    const Result renamed = Rename(finalName);
    if (renamed != Result::Done) {
        Discard();
    }
    return renamed;
}

PendingFile::Result PendingFile::PutBack(const char* existing) {
    if (handle_ != INVALID_HANDLE_VALUE) {
        return Result::Failed;  // a pending file, not a kept one
    }
    return Rename(existing);
}

char* PendingFile::StartAnew(const char* beside, const char* fixedName, std::size_t& folderLength) {
    Discard();
    replacing_ = false;
    fixedName_ = fixedName;
    return NewNameBlock(beside, fixedName, folderLength);
}

bool PendingFile::MayTryAgain(const char* name, std::size_t attempt) {
    if (fixedName_ == nullptr) {
        return true;
    }
    return attempt == 0 && DeleteFileA(name) != FALSE;
}
