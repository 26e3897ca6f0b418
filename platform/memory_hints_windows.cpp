// AdviseLargeBlock on Windows does nothing: pages are mapped in as they are
// first written, one fault at a time. Windows has no call that maps a range
// in ahead of use for an ordinary user (large pages need a privilege a
// console tool does not hold), and the hint never changes what a block holds.
#include "platform/memory_hints.h"

void AdviseLargeBlock(void*, std::size_t) {}
