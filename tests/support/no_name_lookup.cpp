// Name lookup for GoogleTest in a static 32-bit Linux test program.
//
// GoogleTest can stream results to a socket, for which it looks a host name
// up. A static glibc program that links glibc's getaddrinfo draws a linker
// warning (the lookup needs glibc's shared libraries at run time), and no
// test here streams results. These stand in for the three calls, so the
// C library's are never linked: every lookup fails.
#include <netdb.h>

extern "C" int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo** result) noexcept {
    *result = nullptr;
    return EAI_FAIL;
}

extern "C" void freeaddrinfo(addrinfo*) noexcept {}

extern "C" const char* gai_strerror(int) noexcept {
    return "no name lookup in this test program";
}
