/* MUDP_BENCH_KEY=1 (set for both sides by run.sh --keyed): the unit joins a
 * closed network of a fixed benchmark key. */
#ifndef PATH_BENCH_KEY_H
#define PATH_BENCH_KEY_H

#include <mudp.h>
#include <stdlib.h>
#include <string.h>

/* 1 when no key is asked for or the unit took it, 0 when it refused it. */
static inline int bench_key_from_environment(void)
{
    const char *keyed = getenv("MUDP_BENCH_KEY");
    if (!keyed || !*keyed || strcmp(keyed, "0") == 0)
        return 1;
    unsigned char key[32];
    memset(key, 0x42, sizeof key);
    return setNetworkKey(key, (int)sizeof key);
}

#endif
