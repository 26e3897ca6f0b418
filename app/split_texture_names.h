// Which names belong to a split texture: its chunks, and the whole texture
// it is welded into. texweld writes over neither for another texture, so a
// slip of the command line (a glob that expands to several first chunks,
// files dropped on the program) never destroys a set it was not asked for.
#pragma once

#include "platform/file_system.h"

#include <cstddef>

// Whether writing to `outputName` would change a split texture other than
// the one whose first chunk is `ownFirstChunk`. True for
//  - an existing file named <x>.<k> (k decimal digits) whose <x>.0 exists
//    and begins with the DDS magic: a chunk of a split texture, this run's
//    own included;
//  - an existing <y> whose <y>.0 begins with the DDS magic and is not
//    `ownFirstChunk`: another texture's whole file.
// Both are asked of the name as given and, where it is a link, of the file
// it leads to. Names are compared as the file system compares them: by the
// identity of the files they lead to.
bool BelongsToAnotherSplitTexture(const char* outputName, const FileIdentity& ownFirstChunk);

// Whether `name` is a file that can be read and begins with the DDS magic.
bool BeginsWithDdsMagic(const char* name);

// The length of <x> when `name` is a chunk of a split texture: <x>.<k> (k
// decimal digits) whose <x>.0 begins with the DDS magic; -1 otherwise.
std::ptrdiff_t SplitTextureOfChunk(const char* name);
