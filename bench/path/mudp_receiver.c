/* mudp-path-receiver: the receiving end of a transfer, a server of the
 * library's public interface.
 *
 *   mudp-path-receiver --addr IP --port N --expect SIZE --seconds N [--echo]
 *
 * Binds N, prints "ready", then runs its event loop. Every block received
 * prints "data SIZE INTACT MS" (INTACT 1 when it is exactly the SIZE test
 * bytes the sender sends; MS the CLOCK_MONOTONIC time in ms). With --echo it answers every block with 100
 * bytes to its clients, right after the data message is handled. It exits
 * after SECONDS, or on SIGTERM or SIGINT. */
#include <glib-unix.h>
#include <glib.h>
#include <stdio.h>
#include <string.h>

#include "mudp.h"
#include "bench_key.h"
#include "side_common.h"

struct receiver {
    GMainLoop *loop;
    unsigned char *expected;
    long expected_size;
    int echo;
    long blocks;
};

static gboolean answer(gpointer user)
{
    (void)user;
    char reply[100];
    memset(reply, 'a', sizeof reply);
    sendDataToClient(reply, (int)sizeof reply, "0.0.0.0", 0);
    return G_SOURCE_REMOVE;
}

static LRESULT on_event(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    struct receiver *r = window->user;
    if (message == WM_UDP_DATA) {
        /* Checked here: the data is only valid while this runs. */
        const int intact = pattern_intact((const void *)wParam, (int64_t)lParam, r->expected, r->expected_size);
        printf("data %ld %d %.3f\n", (long)lParam, intact, (double)mono_ns() / 1e6);
        fflush(stdout);
        ++r->blocks;
        if (r->echo)
            g_idle_add_full(G_PRIORITY_HIGH, answer, r, NULL);
    }
    return 0;
}

static gboolean quit(gpointer user)
{
    g_main_loop_quit(((struct receiver *)user)->loop);
    return G_SOURCE_REMOVE;
}

int main(int argc, char **argv)
{
    char *addr = NULL;
    long port = -1, seconds = -1;
    struct receiver r = {0};
    r.expected_size = -1;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i], *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--echo") == 0)
            r.echo = 1;
        else if (strcmp(a, "--addr") == 0 && v)
            addr = argv[++i];
        else if (strcmp(a, "--port") == 0 && v)
            port = parse_count(argv[++i], 65535);
        else if (strcmp(a, "--expect") == 0 && v)
            r.expected_size = parse_count(argv[++i], 64L << 20);
        else if (strcmp(a, "--seconds") == 0 && v)
            seconds = parse_count(argv[++i], 86400);
        else
            port = -1, i = argc;
    }
    if (!addr || port <= 0 || seconds <= 0 || r.expected_size < 0) {
        fprintf(stderr, "usage: mudp-path-receiver --addr IP --port N --expect SIZE --seconds N [--echo]\n");
        return 2;
    }
    r.expected = pattern_new(r.expected_size);
    if (!r.expected)
        return 1;

    struct MUDPWindow window = {on_event, &r};
    initInstance();
    setRevWindowsHandle(&window);
    if (!bench_key_from_environment()) {
        fprintf(stderr, "mudp-path-receiver: the unit refused the benchmark key\n");
        return 1;
    }
    setLocalName("receiver");
    setLocalAddr(addr);
    if (!bindPort((unsigned short)port)) {
        fprintf(stderr, "mudp-path-receiver: cannot bind port %ld\n", port);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    r.loop = g_main_loop_new(NULL, FALSE);
    g_timeout_add_seconds((guint)seconds, quit, &r);
    g_unix_signal_add(SIGTERM, quit, &r);
    g_unix_signal_add(SIGINT, quit, &r);
    g_main_loop_run(r.loop);
    clearInstance();
    g_main_loop_unref(r.loop);
    free(r.expected);
    return 0;
}
