#include "commands.h"

#include <errno.h>
#include <glib-unix.h>
#include <mudp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "command_text.h"
#include "endpoint.h"
#include "host_events.h"
#include "options.h"
#include "send_commands.h"

#define MAX_LINE 65536
#define MAX_WAIT_MS 600000u

static GMainLoop *main_loop;
static GString *pending;      /* input not yet run */
static guint input_watch;     /* 0 while not reading */
static guint wait_timer;      /* 0 unless a wait runs */
static bool input_ended, stopping, running, discarding;

static void run_pending(void);
static gboolean on_input(gint fd, GIOCondition condition, gpointer data);

void request_stop(void)
{
    stopping = true;
    if (main_loop)
        g_main_loop_quit(main_loop);
}

bool stop_requested(void) { return stopping; }

void unregister_all(void)
{
    int count = 0;
    const PEERINFO *list = getServerList(&count);
    if (!list || count <= 0)
        return;
    /* The exported array changes while the unregistrations process events. */
    Endpoint *servers = g_new0(Endpoint, (gsize)count);
    for (int i = 0; i < count; ++i) {
        memcpy(servers[i].ip, list[i].ip, sizeof servers[i].ip);
        servers[i].ip[15] = '\0';
        servers[i].port = list[i].port;
    }
    for (int i = 0; i < count; ++i)
        unRegFromServer(servers[i].ip, servers[i].port);
    g_free(servers);
}

static gboolean on_wait_done(gpointer data)
{
    (void)data;
    wait_timer = 0;
    if (!input_ended && !input_watch && !stopping)
        input_watch = g_unix_fd_add(STDIN_FILENO, G_IO_IN | G_IO_HUP | G_IO_ERR, on_input, NULL);
    run_pending();
    return G_SOURCE_REMOVE;
}

static void command_wait(char *cursor)
{
    const char *ms_text = next_word(&cursor);
    unsigned long ms = 0;
    char *end = NULL;
    if (ms_text && *ms_text >= '0' && *ms_text <= '9') {
        errno = 0;
        ms = strtoul(ms_text, &end, 10);
    }
    if (!ms_text || !end || *end || errno || ms > MAX_WAIT_MS || next_word(&cursor)) {
        command_error("wait takes one number of milliseconds, 0 to %u", MAX_WAIT_MS);
        return;
    }
    /* The main loop runs the unit meanwhile; input is read again afterwards. */
    wait_timer = g_timeout_add((guint)ms, on_wait_done, NULL);
}

static void command_reg(char *cursor)
{
    const char *where = next_word(&cursor);
    Endpoint server;
    if (!where || !parse_endpoint(where, false, &server) || next_word(&cursor)) {
        command_error("reg takes one server as IP:PORT");
        return;
    }
    regToServer(server.ip, server.port);
}

static void command_help(void)
{
    fputs(strstr(usage_text(), "Commands:"), stderr);
}

static void run_line(char *line)
{
    command_next_line();
    char *cursor = line;
    const char *command = next_word(&cursor);
    if (!command || command[0] == '#')
        return;
    if (strcmp(command, "send") == 0) {
        command_send(cursor);
    } else if (strcmp(command, "sendfile") == 0) {
        command_sendfile(cursor);
    } else if (strcmp(command, "reg") == 0) {
        command_reg(cursor);
    } else if (strcmp(command, "wait") == 0) {
        command_wait(cursor);
    } else if (strcmp(command, "list") == 0 || strcmp(command, "unreg") == 0 ||
               strcmp(command, "quit") == 0 || strcmp(command, "help") == 0) {
        if (next_word(&cursor)) {
            command_error("'%s' takes no arguments", command);
            return;
        }
        if (command[0] == 'l') {
            print_list(LIST_SERVER);
            print_list(LIST_CLIENT);
            print_list(LIST_LIVEUSER);
            fflush(stdout);
        } else if (command[0] == 'u') {
            unregister_all();
        } else if (command[0] == 'q') {
            request_stop();
        } else {
            command_help();
        }
    } else {
        command_error("unknown command '%s' (try 'help')", command);
    }
}

/* Runs complete lines until a wait starts or the session stops. Library
 * calls process events, so input can arrive while a line runs: it is only
 * queued then, and this loop picks it up. */
static void run_pending(void)
{
    if (running)
        return;
    running = true;
    while (!stopping && !wait_timer) {
        char *newline = memchr(pending->str, '\n', pending->len);
        if (!newline && !input_ended)
            break;
        if (!newline && pending->len == 0) {
            request_stop();
            break;
        }
        const gsize length = newline ? (gsize)(newline - pending->str) : pending->len;
        char *line = g_strndup(pending->str, length);
        g_string_erase(pending, 0, (gssize)(newline ? length + 1 : length));
        if (length > 0 && line[length - 1] == '\r')
            line[length - 1] = '\0';
        run_line(line);
        g_free(line);
        fflush(stdout);
    }
    running = false;
}

static gboolean on_input(gint fd, GIOCondition condition, gpointer data)
{
    (void)condition;
    (void)data;
    if (wait_timer || stopping) {
        input_watch = 0; /* read again once the wait is over */
        return G_SOURCE_REMOVE;
    }
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return G_SOURCE_CONTINUE;
    if (n <= 0) {
        if (n < 0)
            fprintf(stderr, "mudp-peer: reading input: %s\n", strerror(errno));
        input_ended = true;
        input_watch = 0;
        run_pending();
        return G_SOURCE_REMOVE;
    }
    const char *bytes = chunk;
    gsize size = (gsize)n;
    if (discarding) {
        /* Drop the rest of a line that was too long, up to its end. */
        const char *end = memchr(bytes, '\n', size);
        if (!end)
            return G_SOURCE_CONTINUE;
        discarding = false;
        size -= (gsize)(end + 1 - bytes);
        bytes = end + 1;
    }
    g_string_append_len(pending, bytes, (gssize)size);
    if (!memchr(pending->str, '\n', pending->len) && pending->len > MAX_LINE) {
        command_next_line();
        command_error("longer than %d bytes, ignored", MAX_LINE);
        g_string_truncate(pending, 0);
        discarding = true;
    }
    run_pending();
    return G_SOURCE_CONTINUE;
}

void input_start(GMainLoop *loop)
{
    main_loop = loop;
    if (!pending)
        pending = g_string_new(NULL);
    input_watch = g_unix_fd_add(STDIN_FILENO, G_IO_IN | G_IO_HUP | G_IO_ERR, on_input, NULL);
}

void input_stop(void)
{
    if (input_watch)
        g_source_remove(input_watch);
    if (wait_timer)
        g_source_remove(wait_timer);
    input_watch = wait_timer = 0;
    if (pending)
        g_string_free(pending, TRUE);
    pending = NULL;
}
