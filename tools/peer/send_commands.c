#include "send_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <mudp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_text.h"
#include "endpoint.h"
#include "gbtext.h"

/* A message has at most 32767 packets of 500 bytes, 80 of them the header. */
#define MAX_SEND_SIZE (32767L * 500L - 80L)

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

void command_send(char *cursor)
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

void command_sendfile(char *cursor)
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
