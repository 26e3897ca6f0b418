// The Win32 critical-section calls over a POSIX recursive mutex. See win32.h
// for the behaviour kept.
#include "platform/win32.h"

#include <cstdlib>

namespace {

// Marks a section between InitializeCriticalSection and DeleteCriticalSection.
// Zeroed storage and deleted sections hold 0, so using either is caught.
constexpr DWORD kLiveTag = 0x43534C56u;

// A failed mutex call means the section was misused or the system could not
// provide a mutex; either way no caller could go on safely.
void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void RequireLive(const CRITICAL_SECTION* section) {
    Require(section != nullptr && section->live == kLiveTag);
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    Require(section != nullptr);
    pthread_mutexattr_t attributes;
    Require(pthread_mutexattr_init(&attributes) == 0);
    Require(pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0);
    Require(pthread_mutex_init(&section->mutex, &attributes) == 0);
    pthread_mutexattr_destroy(&attributes);
    section->live = kLiveTag;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    RequireLive(section);
    Require(pthread_mutex_lock(&section->mutex) == 0);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    RequireLive(section);
    // A recursive mutex refuses (EPERM) an unlock by a thread that does not
    // hold it.
    Require(pthread_mutex_unlock(&section->mutex) == 0);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    RequireLive(section);
    // Fails (EBUSY) while some thread still holds the section.
    Require(pthread_mutex_destroy(&section->mutex) == 0);
    section->live = 0;
}
