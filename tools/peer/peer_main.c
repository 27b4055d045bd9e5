/* mudp-peer: runs one peer of the library by hand or from a script. */
#include <glib-unix.h>
#include <glib.h>
#include <mudp.h>
#include <signal.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "commands.h"
#include "host_events.h"
#include "options.h"

static bool shutting_down;

static gboolean on_signal(gpointer data)
{
    if (shutting_down) {
        /* A second signal while unregistering: leave at once. */
        static const char message[] = "mudp-peer: interrupted again, exiting without unregistering\n";
        if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        }
        _exit(128 + GPOINTER_TO_INT(data));
    }
    request_stop();
    return G_SOURCE_CONTINUE;
}

static bool registered_with(const Endpoint *server)
{
    int count = 0;
    const PEERINFO *list = getServerList(&count);
    for (int i = 0; list && i < count; ++i)
        if (list[i].port == server->port && strncmp(list[i].ip, server->ip, sizeof list[i].ip) == 0)
            return true;
    return false;
}

/* Binds as the options ask and reports the port; false when none is free. */
static bool bind_socket(const PeerOptions *o)
{
    unsigned short port = o->port;
    if (o->auto_bind) {
        port = autoBind(o->first, o->last);
        if (port == 0) {
            fprintf(stderr, "mudp-peer: no UDP port from %u to %u can be bound\n", (unsigned)o->first,
                    (unsigned)o->last - 1);
            return false;
        }
    } else if (!bindPort(port)) {
        fprintf(stderr, "mudp-peer: cannot bind UDP port %u\n", (unsigned)port);
        return false;
    }
    printf("bound %u\n", (unsigned)port);
    return true;
}

/* Parses the options; -1 to go on, else the exit status. */
static int parse_or_exit(int argc, char **argv, PeerOptions *options)
{
    char error[256];
    const OptionsResult parsed = parse_options(argc, argv, options, error, sizeof error);
    if (parsed != OPTIONS_OK)
        sodium_memzero(options->key, sizeof options->key);
    switch (parsed) {
    case OPTIONS_HELP:
        fputs(usage_text(), stdout);
        return 0;
    case OPTIONS_BAD:
        fprintf(stderr, "mudp-peer: %s\n", error);
        return 2;
    case OPTIONS_OK:
        break;
    }
    return -1;
}

/* Makes the unit, gives it the key, name and address and binds it; false
   (the unit cleared) when any of it fails. */
static bool start_unit(PeerOptions *options)
{
    static struct MUDPWindow window = {host_window_proc, NULL};
    if (!initInstance()) {
        fputs("mudp-peer: the library could not create its unit\n", stderr);
        sodium_memzero(options->key, sizeof options->key);
        return false;
    }
    setRevWindowsHandle(&window);
    /* The unit keeps no copy of the buffer: it is wiped at once. */
    const int keyed = !options->has_key || setNetworkKey(options->key, (int)sizeof options->key);
    sodium_memzero(options->key, sizeof options->key);
    if (!keyed) {
        fputs("mudp-peer: the library refused the network key\n", stderr);
        clearInstance();
        return false;
    }
    setLocalName(options->name);
    if (options->addr[0])
        setLocalAddr(options->addr);
    if (!bind_socket(options)) {
        clearInstance();
        return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    PeerOptions options;
    const int status = parse_or_exit(argc, argv, &options);
    if (status >= 0)
        return status;
    if (!start_unit(&options))
        return 1;

    GMainLoop *loop = g_main_loop_new(NULL, FALSE);
    const guint sigint = g_unix_signal_add(SIGINT, on_signal, GINT_TO_POINTER(SIGINT));
    const guint sigterm = g_unix_signal_add(SIGTERM, on_signal, GINT_TO_POINTER(SIGTERM));
    for (int i = 0; i < options.server_count && !stop_requested(); ++i) {
        Endpoint *server = &options.servers[i];
        regToServer(server->ip, server->port);
        if (!registered_with(server))
            fprintf(stderr, "mudp-peer: registration with %s:%u failed\n", server->ip, (unsigned)server->port);
    }
    /* Input is read only now, so that no command runs inside a registration. */
    if (!stop_requested()) {
        input_start(loop);
        g_main_loop_run(loop);
    }

    shutting_down = true;
    input_stop();
    unregister_all();
    g_source_remove(sigint);
    g_source_remove(sigterm);
    g_main_loop_unref(loop);
    setRevWindowsHandle(NULL);
    clearInstance();
    return 0;
}
