// ThreadSanitizer sees only code compiled with it. Qt's QMutex and
// QWaitCondition are compiled without: their lock, unlock and wait run inside
// libQt5Core, so the ordering they give is invisible, and every correctly
// locked access between two threads would look like a race.
//
// This layer is linked into every program of the thread-sanitizer build, and
// into nothing else. It defines the out-of-line QMutex and QWaitCondition
// members that the library and its tests call, so that (by ELF symbol
// interposition: a program's own definition comes first) those calls land
// here; each forwards to Qt's own definition, found with dlsym(RTLD_NEXT), and
// tells ThreadSanitizer the happens-before edge the real call made: a lock
// acquires the mutex, an unlock releases it, and a wait releases it before it
// sleeps and acquires it again after.
//
// Calls that Qt makes to itself bind inside libQt5Core and are not seen: Qt's
// own bookkeeping (a QThread's end, its meta-type registry) is ordered by
// locks that ThreadSanitizer cannot see. The test command therefore runs with
// ignore_noninstrumented_modules=1, so that what Qt's own code does through
// intercepted calls (its memcmp, free, pthread_cond_destroy ...) is not
// checked; every access of the library, the simulator and the tests still is.
#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <cstdlib>

namespace {

template <class Fn>
Fn qtOwn(const char* mangledName)
{
    void* fn = dlsym(RTLD_NEXT, mangledName);
    if (!fn) {
        std::fprintf(stderr, "qt_sync: %s not found in Qt\n", mangledName);
        std::abort();
    }
    return reinterpret_cast<Fn>(fn);
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    own(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto own = qtOwn<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    static const auto own =
        qtOwn<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = own(this, lockedMutex, deadline);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex* lockedMutex, unsigned long time)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QMutex*, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(lockedMutex);
    const bool woken = own(this, lockedMutex, time);
    __tsan_acquire(lockedMutex);
    return woken;
}
