/* What the transfer programs share: the clock, the test bytes, and the
 * result line the runner reads. */
#ifndef PATH_SIDE_COMMON_H
#define PATH_SIDE_COMMON_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static inline int64_t mono_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static inline double ms_between(int64_t from_ns, int64_t to_ns) { return (double)(to_ns - from_ns) / 1e6; }

/* The test bytes of a message of `size` bytes: every byte depends on its
 * position and the size, so a shifted, cut or mixed block shows. */
static inline unsigned char pattern_byte(int64_t i, int64_t size)
{
    return (unsigned char)((i * 131 + size * 7 + (i >> 9)) & 0xff);
}

/* A new block of `size` test bytes (at least one byte allocated), or NULL. */
static inline unsigned char *pattern_new(int64_t size)
{
    unsigned char *b = malloc(size > 0 ? (size_t)size : 1);
    for (int64_t i = 0; b && i < size; ++i)
        b[i] = pattern_byte(i, size);
    return b;
}

/* Whether `data` is exactly the block `expected` of `size` bytes. */
static inline int pattern_intact(const void *data, int64_t got, const unsigned char *expected, int64_t size)
{
    return got == size && (size == 0 || (data && memcmp(data, expected, (size_t)size) == 0));
}

/* A positive decimal of at most max, or -1. */
static inline long parse_count(const char *text, long max)
{
    char *end = NULL;
    const long v = text ? strtol(text, &end, 10) : -1;
    return end && *end == '\0' && end != text && v >= 0 && v <= max ? v : -1;
}

#endif
