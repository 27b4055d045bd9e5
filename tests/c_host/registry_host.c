/*
 * A plain C host that registers, or is registered with, and reads the lists.
 *
 *   c_registry_host server PORT CLIENTS
 *       serve on PORT until CLIENTS clients are registered, print them
 *   c_registry_host client NAME PORT SERVERPORT
 *       register with 127.0.0.2:SERVERPORT, wait until the server reports one
 *       other user, check the lists, the own address and the window messages
 *
 * Exit status 0 when every check held; each failed check prints "FAIL ...".
 */
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mudp.h"

struct host_state {
    int logs;
    int lists[3]; /* WM_UDP_LIST per code: server, live user, client */
    int reg_success_logged;
};

static int failures;

#define CHECK(cond, ...)                                                                                  \
    do {                                                                                                  \
        if (!(cond)) {                                                                                    \
            printf("FAIL %s: ", #cond);                                                                   \
            printf(__VA_ARGS__);                                                                          \
            printf("\n");                                                                                 \
            failures++;                                                                                   \
        }                                                                                                 \
    } while (0)

static LRESULT window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    struct host_state *state = (struct host_state *)window->user;
    if (message == WM_UDP_LOG) {
        const char *line = (const char *)wParam;
        state->logs++;
        if (strstr(line, "Reg Sucess"))
            state->reg_success_logged = 1;
        if (strlen(line) != (size_t)lParam)
            printf("FAIL log length %zu != %ld\n", strlen(line), (long)lParam), failures++;
    } else if (message == WM_UDP_LIST) {
        if (wParam >= LIST_SERVER && wParam <= LIST_CLIENT && lParam == 0)
            state->lists[wParam - LIST_SERVER]++;
        else
            printf("FAIL list message %lu %ld\n", (unsigned long)wParam, (long)lParam), failures++;
    }
    return 0;
}

/* Lets the unit work between calls, through the thread's GLib main context. */
static void let_work(int ms)
{
    gint64 end = g_get_monotonic_time() + (gint64)ms * 1000;
    while (g_get_monotonic_time() < end)
        if (!g_main_context_iteration(NULL, FALSE))
            g_usleep(1000);
}

static int list_count(PEERINFO *(*get)(int *))
{
    int count = -1;
    PEERINFO *list = get(&count);
    if ((count == 0) != (list == NULL))
        printf("FAIL count %d with list %p\n", count, (void *)list), failures++;
    return count;
}

static void print_list(const char *title, PEERINFO *list, int count)
{
    printf("%s:", title);
    for (int i = 0; i < count; i++)
        printf(" %s %s:%u", list[i].name, list[i].ip, list[i].port);
    printf("\n");
}

static int serve(unsigned short port, int clients, struct host_state *state)
{
    gint64 end = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
    while (list_count(getClientList) < clients && g_get_monotonic_time() < end)
        let_work(10);
    int count = 0;
    PEERINFO *list = getClientList(&count);
    print_list("clients", list, count);
    CHECK(count == clients, "%d clients", count);
    for (int i = 0; i < count; i++) {
        CHECK(strcmp(list[i].serverName, "server") == 0, "serverName %s", list[i].serverName);
        CHECK(list[i].serverPort == port, "serverPort %u", list[i].serverPort);
        CHECK(list[i].access == 1, "access %d", list[i].access);
    }
    /* Every registration changed the client list. */
    CHECK(state->lists[LIST_CLIENT - LIST_SERVER] == clients, "%d client notices",
          state->lists[LIST_CLIENT - LIST_SERVER]);
    CHECK(list_count(getServerList) == 0, "server list not empty");
    /* Stay a little so that the last lists are acknowledged. */
    let_work(1000);
    return 0;
}

static int client(const char *name, unsigned short port, unsigned short server_port, struct host_state *state)
{
    CHECK(strcmp(getAddrForPeer(), "") == 0 && getPortForPeer() == 0, "own address before registration");
    regToServer("127.0.0.2", server_port);
    CHECK(state->reg_success_logged, "no \"Reg Sucess\" log message");
    printf("registered\n");
    fflush(stdout);

    int count = 0;
    PEERINFO *servers = getServerList(&count);
    CHECK(count == 1, "%d servers", count);
    if (count == 1) {
        CHECK(strcmp(servers[0].name, "server") == 0, "server name %s", servers[0].name);
        CHECK(servers[0].port == server_port, "server port %u", servers[0].port);
    }
    CHECK(strcmp(getAddrForPeer(), "127.0.0.2") == 0, "own address %s", getAddrForPeer());
    CHECK(getPortForPeer() == port, "own port %u", getPortForPeer());
    CHECK(getClientList(&count) == NULL && count == 0, "client list of a client");

    /* The other client registers now or has already: wait for its report. */
    gint64 end = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
    while (list_count(getLiveUserList) < 1 && g_get_monotonic_time() < end)
        let_work(10);
    PEERINFO *live = getLiveUserList(&count);
    print_list("live", live, count);
    CHECK(count == 1, "%d live users", count);
    if (count == 1) {
        CHECK(strcmp(live[0].name, name) != 0, "lists itself");
        CHECK(strcmp(live[0].serverIp, "127.0.0.2") == 0, "serverIp %s", live[0].serverIp);
        CHECK(live[0].serverPort == server_port, "serverPort %u", live[0].serverPort);
        CHECK(live[0].access == 0, "access %d", live[0].access);
    }
    CHECK(state->lists[LIST_SERVER - LIST_SERVER] == 1, "%d server notices", state->lists[0]);
    CHECK(state->lists[LIST_LIVEUSER - LIST_SERVER] >= 1, "no live-user notice");
    return 0;
}

int main(int argc, char **argv)
{
    int is_server = argc == 4 && strcmp(argv[1], "server") == 0;
    int is_client = argc == 5 && strcmp(argv[1], "client") == 0;
    if (!is_server && !is_client) {
        fprintf(stderr, "usage: c_registry_host server PORT CLIENTS | client NAME PORT SERVERPORT\n");
        return 2;
    }
    struct host_state state;
    memset(&state, 0, sizeof state);
    struct MUDPWindow window = {window_proc, &state};
    const char *name = is_server ? "server" : argv[2];
    unsigned short port = (unsigned short)atoi(is_server ? argv[2] : argv[3]);

    if (!initInstance())
        return 1;
    setRevWindowsHandle(&window);
    setLocalName((char *)name);
    setLocalAddr("127.0.0.2");
    if (!bindPort(port)) {
        printf("FAIL cannot bind %u\n", port);
        clearInstance();
        return 1;
    }
    printf("bound %u\n", port);
    fflush(stdout);
    if (is_server)
        serve(port, atoi(argv[3]), &state);
    else
        client(name, port, (unsigned short)atoi(argv[4]), &state);
    CHECK(state.logs > 0, "no log messages");
    setRevWindowsHandle(NULL);
    clearInstance();
    printf("%s: %s\n", name, failures ? "failed" : "ok");
    fflush(stdout);
    return failures ? 1 : 0;
}
