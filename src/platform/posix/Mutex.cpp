#include "platform/Mutex.h"

#include <pthread.h>

#include <new>

namespace platform {
namespace {

pthread_mutex_t* Native(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

Mutex::Mutex() {
    static_assert(sizeof(pthread_mutex_t) <= sizeof storage_, "pthread_mutex_t must fit storage_");
    static_assert(alignof(pthread_mutex_t) <= 16, "storage_ must be aligned for pthread_mutex_t");
    ::pthread_mutex_init(new (storage_) pthread_mutex_t, nullptr);
}

Mutex::~Mutex() {
    ::pthread_mutex_destroy(Native(storage_));
}

void Mutex::Lock() {
    ::pthread_mutex_lock(Native(storage_));
}

void Mutex::Unlock() {
    ::pthread_mutex_unlock(Native(storage_));
}

}  // namespace platform
