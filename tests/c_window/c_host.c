/*
 * A plain C host: the public header alone, the shared library, and GLib's
 * main context to let the unit's socket and timer events run between calls.
 *
 *   c_host receive PORT         bind PORT, wait for one data block, print it
 *   c_host send PORT DEST TEXT  bind PORT, send TEXT to 127.0.0.2:DEST and
 *                               wait until the library logs its delivery
 */
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mudp.h"

struct host_state {
    int data_messages;
    int log_messages;
    int delivered;
    char data[256];
};

static LRESULT window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    struct host_state *state = (struct host_state *)window->user;
    if (message == WM_UDP_DATA) {
        size_t n = (size_t)lParam < sizeof state->data - 1 ? (size_t)lParam : sizeof state->data - 1;
        memcpy(state->data, (const char *)wParam, n);
        state->data[n] = '\0';
        state->data_messages++;
    } else if (message == WM_UDP_LOG) {
        const char *line = (const char *)wParam;
        state->log_messages++;
        if (strlen(line) != (size_t)lParam)
            fprintf(stderr, "log length mismatch\n");
        if (strstr(line, "Packet send success:"))
            state->delivered = 1;
        printf("log %s\n", line);
    }
    return 0;
}

/* Lets the unit work for up to ms milliseconds, or until *flag is set. */
static int run_until(const int *flag, int ms)
{
    gint64 end = g_get_monotonic_time() + (gint64)ms * 1000;
    while (!*flag && g_get_monotonic_time() < end) {
        if (!g_main_context_iteration(NULL, FALSE))
            g_usleep(1000);
    }
    return *flag;
}

int main(int argc, char **argv)
{
    if (argc < 3 || (strcmp(argv[1], "receive") != 0 && strcmp(argv[1], "send") != 0) ||
        (strcmp(argv[1], "send") == 0 && argc < 5)) {
        fprintf(stderr, "usage: c_host receive PORT | c_host send PORT DEST TEXT\n");
        return 2;
    }
    struct host_state state;
    memset(&state, 0, sizeof state);
    struct MUDPWindow window = {window_proc, &state};

    if (!initInstance())
        return 1;
    setRevWindowsHandle(&window);
    setLocalName(argv[1]);
    setLocalAddr("127.0.0.2");
    if (!bindPort((unsigned short)atoi(argv[2]))) {
        fprintf(stderr, "cannot bind %s\n", argv[2]);
        return 1;
    }
    printf("bound %s\n", argv[2]);
    fflush(stdout);

    int ok;
    if (strcmp(argv[1], "receive") == 0) {
        /* Nothing here waits inside the library: the datagrams are read and
         * dispatched by the GLib iterations alone. */
        ok = run_until(&state.data_messages, 60000);
        if (ok)
            printf("data %s\n", state.data);
        /* Give the acknowledgement time to leave. */
        int never = 0;
        run_until(&never, 200);
    } else {
        sendDataToServer(argv[4], (int)strlen(argv[4]), "127.0.0.2", (unsigned short)atoi(argv[3]));
        ok = run_until(&state.delivered, 60000);
    }
    clearInstance();
    fflush(stdout);
    return ok && state.log_messages > 0 ? 0 : 1;
}
