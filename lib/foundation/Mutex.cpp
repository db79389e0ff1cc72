#include "foundation/Mutex.h"

#include <cstring>

Mutex::Mutex() {
    std::memset(&mutex, 0, sizeof(mutex));
    pthread_mutex_init(&mutex, nullptr);
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&mutex);
}

bool Mutex::lock() {
    return pthread_mutex_lock(&mutex) == 0;
}

bool Mutex::unlock() {
    return pthread_mutex_unlock(&mutex) == 0;
}

bool Mutex::trylock() {
    return pthread_mutex_trylock(&mutex) == 0;
}
