/* Preloaded into the program under test, this makes every sleep and timed wait end on a
 * 15.625 ms tick of the monotonic clock, as waits do on Windows when nothing has raised the timer
 * resolution. A wait still ends at once when what it waits for happens; only its time-out moves
 * out to the next tick boundary. Zero and infinite time-outs are left alone.
 *
 * Covered: nanosleep, clock_nanosleep, usleep, poll, ppoll, select, pselect, epoll_wait,
 * epoll_pwait, epoll_pwait2, pthread_cond_timedwait, pthread_cond_clockwait, sem_timedwait,
 * sem_clockwait, and futex waits made through syscall() (std::future, std::counting_semaphore).
 * Each forwards to the next definition, so a rounded wait is never rounded twice. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static const int64_t kTickNs = 15625000;
/* Waits longer than this are left as they are, whatever their clock turned out to be. */
static const int64_t kLongestNs = 86400LL * 1000000000LL;

static int64_t NowNs(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int64_t ToNs(const struct timespec* ts) {
    return (int64_t)ts->tv_sec * 1000000000LL + ts->tv_nsec;
}

static struct timespec FromNs(int64_t ns) {
    struct timespec ts = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    return ts;
}

/* A relative wait of `ns`, stretched to end on the next tick boundary. */
static int64_t Stretch(int64_t ns) {
    if (ns <= 0 || ns > kLongestNs) return ns;
    int64_t now = NowNs(CLOCK_MONOTONIC);
    int64_t end = now + ns;
    end = (end + kTickNs - 1) / kTickNs * kTickNs;
    return end - now;
}

/* An absolute deadline on `clock`, moved out the same way. */
static struct timespec StretchAbs(clockid_t clock, const struct timespec* at) {
    int64_t now = NowNs(clock);
    int64_t left = ToNs(at) - now;
    if (left <= 0 || left > kLongestNs) return *at;
    return FromNs(now + Stretch(left));
}

#define NEXT(name) static __typeof__(name)* next_##name
NEXT(nanosleep);
NEXT(clock_nanosleep);
NEXT(ppoll);
NEXT(select);
NEXT(pselect);
NEXT(epoll_wait);
NEXT(epoll_pwait);
NEXT(pthread_cond_timedwait);
NEXT(pthread_cond_clockwait);
NEXT(sem_timedwait);
NEXT(sem_clockwait);
NEXT(syscall);
typedef int Pwait2(int, struct epoll_event*, int, const struct timespec*, const sigset_t*);
static Pwait2* next_epoll_pwait2;

#define RESOLVE(name) next_##name = (__typeof__(next_##name))dlsym(RTLD_NEXT, #name)

__attribute__((constructor)) static void Resolve(void) {
    RESOLVE(nanosleep);
    RESOLVE(clock_nanosleep);
    RESOLVE(ppoll);
    RESOLVE(select);
    RESOLVE(pselect);
    RESOLVE(epoll_wait);
    RESOLVE(epoll_pwait);
    RESOLVE(pthread_cond_timedwait);
    RESOLVE(pthread_cond_clockwait);
    RESOLVE(sem_timedwait);
    RESOLVE(sem_clockwait);
    RESOLVE(syscall);
    next_epoll_pwait2 = (Pwait2*)dlsym(RTLD_NEXT, "epoll_pwait2");
}

EXPORT int nanosleep(const struct timespec* req, struct timespec* rem) {
    struct timespec ts = FromNs(Stretch(ToNs(req)));
    return next_nanosleep(&ts, rem);
}

EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req,
                           struct timespec* rem) {
    struct timespec ts =
        (flags & TIMER_ABSTIME) ? StretchAbs(clock, req) : FromNs(Stretch(ToNs(req)));
    return next_clock_nanosleep(clock, flags, &ts, rem);
}

EXPORT int usleep(useconds_t us) {
    struct timespec ts = FromNs(Stretch((int64_t)us * 1000));
    return next_nanosleep(&ts, NULL);
}

EXPORT int poll(struct pollfd* fds, nfds_t n, int timeoutMs) {
    if (timeoutMs <= 0)
        return next_ppoll(fds, n, timeoutMs == 0 ? &(struct timespec){0, 0} : NULL, NULL);
    struct timespec ts = FromNs(Stretch((int64_t)timeoutMs * 1000000));
    return next_ppoll(fds, n, &ts, NULL);
}

EXPORT int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout,
                 const sigset_t* mask) {
    if (!timeout) return next_ppoll(fds, n, NULL, mask);
    struct timespec ts = FromNs(Stretch(ToNs(timeout)));
    return next_ppoll(fds, n, &ts, mask);
}

EXPORT int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
    if (!tv) return next_select(n, r, w, e, NULL);
    int64_t ns = Stretch((int64_t)tv->tv_sec * 1000000000LL + (int64_t)tv->tv_usec * 1000);
    struct timeval t = {(time_t)(ns / 1000000000LL),
                        (suseconds_t)((ns % 1000000000LL + 999) / 1000)};
    return next_select(n, r, w, e, &t);
}

EXPORT int pselect(int n, fd_set* r, fd_set* w, fd_set* e, const struct timespec* timeout,
                   const sigset_t* mask) {
    if (!timeout) return next_pselect(n, r, w, e, NULL, mask);
    struct timespec ts = FromNs(Stretch(ToNs(timeout)));
    return next_pselect(n, r, w, e, &ts, mask);
}

/* epoll takes milliseconds; epoll_pwait2, where the system has it, takes the exact time. */
static int EpollWait(int fd, struct epoll_event* ev, int max, int timeoutMs, const sigset_t* mask,
                     int withMask) {
    if (timeoutMs > 0) {
        int64_t ns = Stretch((int64_t)timeoutMs * 1000000);
        if (next_epoll_pwait2) {
            struct timespec ts = FromNs(ns);
            int r = next_epoll_pwait2(fd, ev, max, &ts, withMask ? mask : NULL);
            if (r >= 0 || errno != ENOSYS) return r;
        }
        timeoutMs = (int)((ns + 999999) / 1000000);
    }
    return withMask ? next_epoll_pwait(fd, ev, max, timeoutMs, mask)
                    : next_epoll_wait(fd, ev, max, timeoutMs);
}

EXPORT int epoll_wait(int fd, struct epoll_event* ev, int max, int timeoutMs) {
    return EpollWait(fd, ev, max, timeoutMs, NULL, 0);
}

EXPORT int epoll_pwait(int fd, struct epoll_event* ev, int max, int timeoutMs,
                       const sigset_t* mask) {
    return EpollWait(fd, ev, max, timeoutMs, mask, 1);
}

EXPORT int epoll_pwait2(int fd, struct epoll_event* ev, int max, const struct timespec* timeout,
                        const sigset_t* mask) {
    if (!next_epoll_pwait2) {
        errno = ENOSYS;
        return -1;
    }
    if (!timeout) return next_epoll_pwait2(fd, ev, max, NULL, mask);
    struct timespec ts = FromNs(Stretch(ToNs(timeout)));
    return next_epoll_pwait2(fd, ev, max, &ts, mask);
}

/* A condition variable keeps its clock in its first word's bit 1 (glibc's layout); a wrong
 * guess only gives a deadline beyond kLongestNs, which is then left alone. */
static clockid_t CondClock(const pthread_cond_t* cond) {
    return (cond->__data.__wrefs & 2) ? CLOCK_MONOTONIC : CLOCK_REALTIME;
}

EXPORT int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                  const struct timespec* at) {
    struct timespec ts = StretchAbs(CondClock(cond), at);
    return next_pthread_cond_timedwait(cond, mutex, &ts);
}

EXPORT int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* at) {
    struct timespec ts = StretchAbs(clock, at);
    return next_pthread_cond_clockwait(cond, mutex, clock, &ts);
}

EXPORT int sem_timedwait(sem_t* sem, const struct timespec* at) {
    struct timespec ts = StretchAbs(CLOCK_REALTIME, at);
    return next_sem_timedwait(sem, &ts);
}

EXPORT int sem_clockwait(sem_t* sem, clockid_t clock, const struct timespec* at) {
    struct timespec ts = StretchAbs(clock, at);
    return next_sem_clockwait(sem, clock, &ts);
}

EXPORT long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_futex && a[3]) {
        int op = (int)a[1];
        int cmd = op & FUTEX_CMD_MASK;
        struct timespec ts;
        if (cmd == FUTEX_WAIT) {
            ts = FromNs(Stretch(ToNs((const struct timespec*)a[3])));
            a[3] = (long)&ts;
        } else if (cmd == FUTEX_WAIT_BITSET) {
            clockid_t clock = (op & FUTEX_CLOCK_REALTIME) ? CLOCK_REALTIME : CLOCK_MONOTONIC;
            ts = StretchAbs(clock, (const struct timespec*)a[3]);
            a[3] = (long)&ts;
        }
        return next_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    return next_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
