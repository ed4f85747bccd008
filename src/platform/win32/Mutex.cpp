#include "platform/Mutex.h"

#include <windows.h>

#include <new>

namespace platform {
namespace {

CRITICAL_SECTION* Native(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

Mutex::Mutex() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof storage_,
                  "CRITICAL_SECTION must fit storage_");
    static_assert(alignof(CRITICAL_SECTION) <= 16, "storage_ must be aligned for CRITICAL_SECTION");
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

Mutex::~Mutex() {
    DeleteCriticalSection(Native(storage_));
}

void Mutex::Lock() {
    EnterCriticalSection(Native(storage_));
}

void Mutex::Unlock() {
    LeaveCriticalSection(Native(storage_));
}

}  // namespace platform
