#include "app/split_texture_names.h"

#include "app/chunk_layout.h"
#include "dds/dds_header.h"
#include "platform/win32.h"
#include "support/string_buffer.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Whether `name` leads (links followed) to a regular file that begins with
// the DDS magic; its identity goes to `identity`. Nothing else is opened, so
// a pipe or device planted under a chunk's name is never waited on. A link
// whose target cannot be looked up for want of memory counts as such a
// file: it cannot be told apart from one.
bool BeginsWithTheMagic(const char* name, FileIdentity& identity) {
    std::unique_ptr<char[]> target;
    if (GetPathKind(name) == PathKind::Link) {
        target.reset(new (std::nothrow) char[kLongestResolvedPath]);
        if (!target) {
            return true;
        }
        if (!ResolveLinks(name, target.get(), kLongestResolvedPath)) {
            return false;
        }
    }
    std::uint8_t magic[DDS_MAGIC_SIZE] = {};
    std::uint32_t got = 0;
    const FoundFile found = ExamineFile(target ? target.get() : name, magic, DDS_MAGIC_SIZE, &got);
    identity = found.identity;
    return found.kind == FoundFile::Kind::RegularFile && got == DDS_MAGIC_SIZE &&
           ReadLittleEndian32(magic) == DDS_MAGIC;
}

bool NameBelongs(const char* name, const FileIdentity& ownFirstChunk) {
    FileIdentity existing;
    if (!IdentifyPath(name, existing)) {
        return false;  // nothing there to destroy
    }
    TStringBufferA<260> firstChunk;
    FileIdentity first;
    std::int32_t number = 0;
    if (const std::ptrdiff_t stem = NumberedStem(name, number); stem >= 0) {
        if (firstChunk.Format("%.*s.0", static_cast<int>(stem), name) <= 0 ||
            BeginsWithTheMagic(firstChunk.GetString(), first)) {
            return true;
        }
    }
    if (firstChunk.Format("%s.0", name) <= 0) {
        return true;  // cannot be told apart
    }
    return BeginsWithTheMagic(firstChunk.GetString(), first) && !(first == ownFirstChunk);
}

}  // namespace

bool BeginsWithDdsMagic(const char* name) {
    FileIdentity ignored;
    return BeginsWithTheMagic(name, ignored);
}

std::ptrdiff_t SplitTextureOfChunk(const char* name) {
    std::int32_t number = 0;
    const std::ptrdiff_t stem = NumberedStem(name, number);
    TStringBufferA<260> firstChunk;
    if (stem < 0 || firstChunk.Format("%.*s.0", static_cast<int>(stem), name) <= 0) {
        return -1;
    }
    return BeginsWithDdsMagic(firstChunk.GetString()) ? stem : -1;
}

bool BelongsToAnotherSplitTexture(const char* outputName, const FileIdentity& ownFirstChunk) {
    if (NameBelongs(outputName, ownFirstChunk)) {
        return true;
    }
    if (GetPathKind(outputName) != PathKind::Link) {
        return false;
    }
    const std::unique_ptr<char[]> target(new (std::nothrow) char[kLongestResolvedPath]);
    if (!target) {
        return true;
    }
    return ResolveLinks(outputName, target.get(), kLongestResolvedPath) && NameBelongs(target.get(), ownFirstChunk);
}
