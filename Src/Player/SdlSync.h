// SDL's mutexes and condition variables with one owner each, and a scoped lock over them.
#pragma once

#include <memory>

#include "Loader/MediaEntries.h"

namespace qm {

struct TSdlMutexDeleter {
    void operator()(SDL_mutex* m) const { ff::SDL_DestroyMutex(m); }
};
struct TSdlCondDeleter {
    void operator()(SDL_cond* c) const { ff::SDL_DestroyCond(c); }
};
using TSdlMutexPtr = std::unique_ptr<SDL_mutex, TSdlMutexDeleter>;
using TSdlCondPtr = std::unique_ptr<SDL_cond, TSdlCondDeleter>;

class TSdlLock {
public:
    explicit TSdlLock(SDL_mutex* AMutex) : FMutex(AMutex) { ff::SDL_LockMutex(FMutex); }
    ~TSdlLock() { ff::SDL_UnlockMutex(FMutex); }
    TSdlLock(const TSdlLock&) = delete;
    TSdlLock& operator=(const TSdlLock&) = delete;

private:
    SDL_mutex* FMutex;
};

} // namespace qm
