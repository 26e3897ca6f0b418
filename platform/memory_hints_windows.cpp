// Memory hints on Windows: none. Large pages there need a privilege that a
// console tool run by an ordinary user does not hold, so blocks keep the
// normal page size.
#include "platform/memory_hints.h"

void AdviseLargeBlock(void*, std::size_t) {}
