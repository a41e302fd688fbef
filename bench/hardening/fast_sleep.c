/* Preloaded into `ovo` by the soak (LD_PRELOAD): every sleep of 100 ms or
 * more lasts SORTWELL_SLEEP_DIVISOR times less (default 50), so the one-second
 * steps of the interval and pass waits, and with them a 60-second interval,
 * go by quickly while the agent counts them as usual. Shorter sleeps are left
 * alone. Nothing else of the program changes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>

static long divisor(void) {
    static long value;
    if (value == 0) {
        const char* text = getenv("SORTWELL_SLEEP_DIVISOR");
        long v = text ? strtol(text, NULL, 10) : 50;
        value = v > 0 ? v : 1;
    }
    return value;
}

static struct timespec shorten(const struct timespec* req) {
    struct timespec out = *req;
    long long ns = (long long)req->tv_sec * 1000000000LL + req->tv_nsec;
    if (ns >= 100000000LL) {
        ns /= divisor();
        out.tv_sec = (time_t)(ns / 1000000000LL);
        out.tv_nsec = (long)(ns % 1000000000LL);
    }
    return out;
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
    static int (*real)(const struct timespec*, struct timespec*);
    if (real == NULL)
        real = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
    if (req == NULL)
        return real(req, rem);
    struct timespec quick = shorten(req);
    int rc = real(&quick, rem);
    if (rc != 0 && errno == EINTR && rem != NULL) {
        rem->tv_sec = 0; /* an interrupted sleep simply ends early */
        rem->tv_nsec = 0;
    }
    return rc;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req,
                    struct timespec* rem) {
    static int (*real)(clockid_t, int, const struct timespec*, struct timespec*);
    if (real == NULL)
        real = (int (*)(clockid_t, int, const struct timespec*, struct timespec*))dlsym(
            RTLD_NEXT, "clock_nanosleep");
    if (req == NULL || (flags & TIMER_ABSTIME))
        return real(clock, flags, req, rem);
    struct timespec quick = shorten(req);
    return real(clock, flags, &quick, rem);
}
