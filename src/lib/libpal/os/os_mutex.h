// The system's mutex: recursive for its owner, allocated on the counted heap.
#pragma once

struct os_mutex;
using mutex_t = os_mutex;

// New initialised mutex, or null.
mutex_t *mutex_malloc();
void mutex_lock(mutex_t *m);
void mutex_unlock(mutex_t *m);
void mutex_free(mutex_t *m);

// Scoped lock over a mutex_t for C++ callers; a null mutex is ignored.
class mutex_guard {
public:
    explicit mutex_guard(mutex_t *m) : m_(m) { if (m_) mutex_lock(m_); }
    ~mutex_guard() { if (m_) mutex_unlock(m_); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

private:
    mutex_t *m_;
};

// Takes the mutex when it is free (or already the caller's); false otherwise.
bool mutex_trylock(mutex_t *m);
