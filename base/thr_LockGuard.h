#ifndef BASE_THR_LOCKGUARD_H
#define BASE_THR_LOCKGUARD_H

// Holds any of the host's locks (Lock/Unlock) for the lifetime of a scope.
template <class Lockable> class thr_LockGuard {
public:
    explicit thr_LockGuard(Lockable& lock) : lock(lock) { lock.Lock(); }
    ~thr_LockGuard() { lock.Unlock(); }
    thr_LockGuard(const thr_LockGuard&) = delete;
    thr_LockGuard& operator=(const thr_LockGuard&) = delete;

private:
    Lockable& lock;
};

#endif
