#include "commands.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <mudp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "endpoint.h"
#include "gbtext.h"
#include "host_events.h"
#include "options.h"

/* A message has at most 32767 packets of 500 bytes, 80 of them the header. */
#define MAX_SEND_SIZE (32767L * 500L - 80L)
#define MAX_LINE 65536
#define MAX_WAIT_MS 600000u

static GMainLoop *main_loop;
static GString *pending;      /* input not yet run */
static guint input_watch;     /* 0 while not reading */
static guint wait_timer;      /* 0 unless a wait runs */
static bool input_ended, stopping, running, discarding;
static unsigned long line_number;

static void run_pending(void);
static gboolean on_input(gint fd, GIOCondition condition, gpointer data);

void request_stop(void)
{
    stopping = true;
    if (main_loop)
        g_main_loop_quit(main_loop);
}

bool stop_requested(void) { return stopping; }

__attribute__((format(printf, 1, 2))) static void command_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "mudp-peer: line %lu: ", line_number);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

/* Cuts the next blank-separated word off *cursor; NULL at the end. */
static char *next_word(char **cursor)
{
    char *c = *cursor;
    while (*c == ' ' || *c == '\t')
        ++c;
    if (!*c) {
        *cursor = c;
        return NULL;
    }
    char *word = c;
    while (*c && *c != ' ' && *c != '\t')
        ++c;
    if (*c)
        *c++ = '\0';
    *cursor = c;
    return word;
}

/* The rest of the line after the blanks that follow the last word. */
static char *rest_of_line(char **cursor)
{
    char *c = *cursor;
    while (*c == ' ' || *c == '\t')
        ++c;
    *cursor = c + strlen(c);
    return *c ? c : NULL;
}

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

/* Where a send goes: a server or client endpoint, a live user, or everyone. */
typedef enum { TO_SERVER, TO_CLIENT, TO_USER, TO_ALL } TargetKind;
typedef struct Target {
    TargetKind kind;
    Endpoint endpoint;
    PEERINFO user;
} Target;

static bool find_live_user(const char *name_utf8, PEERINFO *out)
{
    char name[40];
    if (!utf8_to_gb18030(name_utf8, name, sizeof name))
        return false;
    int count = 0;
    const PEERINFO *list = getLiveUserList(&count);
    for (int i = 0; list && i < count; ++i) {
        if (strncmp(list[i].name, name, sizeof list[i].name) == 0) {
            *out = list[i];
            out->ip[15] = out->serverIp[15] = out->name[39] = '\0';
            return true;
        }
    }
    return false;
}

/* Parses "server|client IP:PORT", "user NAME" or "all" off the cursor. */
static bool parse_target(char **cursor, Target *t)
{
    const char *kind = next_word(cursor);
    if (!kind) {
        command_error("missing target: server IP:PORT, client IP:PORT, user NAME or all");
        return false;
    }
    if (strcmp(kind, "all") == 0) {
        t->kind = TO_ALL;
        return true;
    }
    if (strcmp(kind, "server") == 0 || strcmp(kind, "client") == 0) {
        t->kind = kind[0] == 's' ? TO_SERVER : TO_CLIENT;
        const char *where = next_word(cursor);
        if (!where || !parse_endpoint(where, true, &t->endpoint)) {
            command_error("'%s' is not IP:PORT", where ? where : "");
            return false;
        }
        const bool everyone = strcmp(t->endpoint.ip, "0.0.0.0") == 0;
        if (t->endpoint.port == 0 && !everyone) {
            command_error("'%s' has no port", where);
            return false;
        }
        if (strcmp(t->endpoint.ip, "127.0.0.1") == 0) {
            command_error("data is never sent to 127.0.0.1; use another loopback address such as 127.0.0.2");
            return false;
        }
        return true;
    }
    if (strcmp(kind, "user") == 0) {
        t->kind = TO_USER;
        const char *name = next_word(cursor);
        if (!name) {
            command_error("missing user name");
            return false;
        }
        if (!find_live_user(name, &t->user)) {
            command_error("no live user named '%s' (see 'list')", name);
            return false;
        }
        return true;
    }
    command_error("unknown target '%s': use server, client, user or all", kind);
    return false;
}

static void send_to(const Target *t, char *bytes, int size)
{
    char any[] = "0.0.0.0";
    char nobody[] = "";
    Endpoint e = t->endpoint;
    PEERINFO u = t->user;
    switch (t->kind) {
    case TO_SERVER:
        sendDataToServer(bytes, size, e.ip, e.port);
        break;
    case TO_CLIENT:
        sendDataToClient(bytes, size, e.ip, e.port);
        break;
    case TO_USER:
        sendDataToLiveUser(bytes, size, u.ip, u.port, u.name, u.serverIp, u.serverPort);
        break;
    case TO_ALL:
        sendDataToLiveUser(bytes, size, any, 0, nobody, any, 0);
        break;
    }
}

static void command_send(char *cursor)
{
    Target t;
    if (!parse_target(&cursor, &t))
        return;
    char *text = rest_of_line(&cursor);
    if (!text) {
        command_error("missing text to send");
        return;
    }
    const size_t size = strlen(text);
    send_to(&t, text, (int)size);
}

/* Reads a regular file of at most MAX_SEND_SIZE bytes into *bytes (to be
 * freed) and returns its size, or reports why not and returns -1. The size is
 * checked before reading, and the read takes at most one byte more, so a
 * device or a growing file never fills memory and a FIFO never blocks. */
static long read_file(const char *path, char **bytes)
{
    *bytes = NULL;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        command_error("cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    long size = -1;
    if (fstat(fd, &st) != 0) {
        command_error("cannot read %s: %s", path, strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        command_error("not a regular file: %s", path);
    } else if (st.st_size > MAX_SEND_SIZE) {
        command_error("file too large: at most %ld bytes go in one message", MAX_SEND_SIZE);
    } else if (!(*bytes = malloc((size_t)st.st_size + 1))) {
        command_error("out of memory for %s", path);
    } else {
        const size_t limit = (size_t)st.st_size + 1;
        size_t got = 0;
        ssize_t n = 1;
        while (got < limit) {
            n = read(fd, *bytes + got, limit - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += (size_t)n;
        }
        if (n < 0)
            command_error("cannot read %s: %s", path, strerror(errno));
        else if (got > (size_t)st.st_size)
            command_error("%s grew while it was read", path);
        else
            size = (long)got;
    }
    close(fd);
    if (size < 0) {
        free(*bytes);
        *bytes = NULL;
    }
    return size;
}

static void command_sendfile(char *cursor)
{
    Target t;
    if (!parse_target(&cursor, &t))
        return;
    const char *path = rest_of_line(&cursor);
    if (!path) {
        command_error("missing file path");
        return;
    }
    char *bytes = NULL;
    long size = read_file(path, &bytes);
    if (size >= 0)
        send_to(&t, bytes, (int)size);
    free(bytes);
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
    ++line_number;
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
        fprintf(stderr, "mudp-peer: line %lu: longer than %d bytes, ignored\n", ++line_number, MAX_LINE);
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
