#include "host_events.h"

#include <glib.h>
#include <stdio.h>
#include <string.h>

#include "gbtext.h"

/* Received text longer than this is cut, to keep each event on one line of
 * a readable length. */
#define DATA_TEXT_LIMIT 4096
#define DATA_HEX_PREFIX 32

static void print_peer(const PEERINFO *p, int code)
{
    char *name = gb18030_to_utf8(p->name, sizeof p->name);
    printf(" %s %.*s:%u", name, (int)strnlen(p->ip, sizeof p->ip), p->ip, (unsigned)p->port);
    g_free(name);
    if (code == LIST_LIVEUSER)
        printf(" via %.*s:%u access=%d", (int)strnlen(p->serverIp, sizeof p->serverIp), p->serverIp,
               (unsigned)p->serverPort, (int)p->access);
}

void print_list(int code)
{
    int count = 0;
    const PEERINFO *list;
    const char *title;
    switch (code) {
    case LIST_SERVER:
        list = getServerList(&count);
        title = "servers:";
        break;
    case LIST_CLIENT:
        list = getClientList(&count);
        title = "clients:";
        break;
    case LIST_LIVEUSER:
        list = getLiveUserList(&count);
        title = "users:";
        break;
    default:
        return;
    }
    fputs(title, stdout);
    if (!list || count <= 0)
        fputs(" (none)", stdout);
    for (int i = 0; list && i < count; ++i) {
        if (i > 0)
            fputc(',', stdout);
        print_peer(&list[i], code);
    }
    fputc('\n', stdout);
}

/* Text is printable when it is UTF-8 without control characters other than
 * tab and line breaks, which are shown escaped. */
static bool printable(const char *bytes, long size)
{
    const char *end = NULL;
    if (!g_utf8_validate(bytes, size, &end) || end != bytes + size)
        return false;
    for (long i = 0; i < size; ++i) {
        const unsigned char c = (unsigned char)bytes[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f)
            return false;
    }
    return true;
}

void print_data(const char *bytes, long size)
{
    printf("data %ld", size);
    if (size <= 0 || !bytes) {
        fputc('\n', stdout);
        return;
    }
    if (printable(bytes, size)) {
        long shown = size;
        if (shown > DATA_TEXT_LIMIT) {
            /* Cut before a UTF-8 continuation byte, never inside a character. */
            shown = DATA_TEXT_LIMIT;
            while (shown > 0 && ((unsigned char)bytes[shown] & 0xc0) == 0x80)
                --shown;
        }
        fputc(' ', stdout);
        for (long i = 0; i < shown; ++i) {
            if (bytes[i] == '\n')
                fputs("\\n", stdout);
            else if (bytes[i] == '\r')
                fputs("\\r", stdout);
            else
                fputc(bytes[i], stdout);
        }
        if (shown < size)
            fputs("...", stdout);
    } else {
        fputs(" hex:", stdout);
        const long shown = size < DATA_HEX_PREFIX ? size : DATA_HEX_PREFIX;
        for (long i = 0; i < shown; ++i)
            printf("%02x", (unsigned)(unsigned char)bytes[i]);
        if (shown < size)
            fputs("...", stdout);
    }
    fputc('\n', stdout);
}

static void print_log(const char *line, long length)
{
    char *text = gb18030_to_utf8(line, length > 0 ? (size_t)length : 0);
    for (char *c = text; *c; ++c)
        if (*c == '\n' || *c == '\r')
            *c = ' ';
    printf("log %s\n", text);
    g_free(text);
}

LRESULT host_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)window;
    switch (message) {
    case WM_UDP_DATA:
        print_data((const char *)wParam, (long)lParam);
        break;
    case WM_UDP_LOG:
        print_log((const char *)wParam, (long)lParam);
        break;
    case WM_UDP_LIST:
        print_list((int)wParam);
        break;
    default:
        break;
    }
    fflush(stdout);
    return 0;
}
