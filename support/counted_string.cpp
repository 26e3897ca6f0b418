#include "support/counted_string.h"

#include "platform/runtime.h"
#include "support/alloc_hooks.h"

#include <climits>
#include <cstring>

namespace {

// The counted strings' shared empty string, distinct from the buffers' own.
char g_sharedEmpty[1] = {'\0'};

constexpr std::int32_t kHeaderBytes = static_cast<std::int32_t>(sizeof(CountedStringHeader));
static_assert(kHeaderBytes == 8, "the header is two 32-bit words");

}  // namespace

char* CountedString::SharedEmpty() {
    return g_sharedEmpty;
}

CountedStringHeader* CountedString::HeaderOf(char* chars) {
    return reinterpret_cast<CountedStringHeader*>(chars - kHeaderBytes);
}

CountedString::CountedString() : chars(SharedEmpty()) {}

CountedString::~CountedString() {
    Release();
}

bool CountedString::Prepare(std::int32_t n) {
    if (chars != SharedEmpty() && chars != nullptr) {
        CountedStringHeader* header = HeaderOf(chars);
        // Reused only with room to spare: n + 1 strictly below the capacity.
        if (n >= 0 && static_cast<std::int64_t>(n) + 1 < header->capacity) {
            header->length = n;
            return true;
        }
        AllocHooks.release(header);
        chars = SharedEmpty();
        if (n == 0) {
            return false;
        }
    }
    // A negative count, or one whose block would not fit in 32 bits, gets
    // no block.
    if (n < 0 || n > INT32_MAX - (kHeaderBytes + 1)) {
        chars = SharedEmpty();
        return false;
    }
    void* block = AllocHooks.allocate(static_cast<std::uint32_t>(n + kHeaderBytes + 1));
    if (block == nullptr) {
        chars = SharedEmpty();
        return false;
    }
    auto* header = static_cast<CountedStringHeader*>(block);
    header->capacity = n + 1;
    header->length = n;
    chars = static_cast<char*>(block) + kHeaderBytes;
    return true;
}

void CountedString::Assign(const char* text) {
    if (text == nullptr) {
        Release();
        return;
    }
    const std::size_t characters = std::strlen(text);
    if (characters > static_cast<std::size_t>(INT32_MAX)) {
        Release();
        return;
    }
    const auto n = static_cast<std::int32_t>(characters);
    if (Prepare(n)) {
        memcpy_s(chars, static_cast<std::size_t>(n) + 1, text, static_cast<std::size_t>(n) + 1);
    }
}

void CountedString::Release() {
    if (chars != SharedEmpty()) {
        AllocHooks.release(HeaderOf(chars));
        chars = SharedEmpty();
    }
}
