/*
 * hello: the smallest host of the mudp library.
 *
 *   hello [SERVER_IP SERVER_PORT]
 *
 * Creates the unit, binds the first free port from 45454, and registers with
 * the server given, or else with itself over 127.0.0.1 (every unit is also a
 * server), printing what the library reports. Exits 0 when the registration
 * was accepted.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mudp.h>

/* The library calls this synchronously, as SendMessageW would on Windows.
 * The pointers in wParam are valid only during the call. */
static LRESULT on_event(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)window;
    switch (message) {
    case WM_UDP_LOG: /* a GB18030 line, NUL-terminated */
        printf("log  %s\n", (const char *)wParam);
        break;
    case WM_UDP_DATA:
        printf("data %ld bytes\n", (long)lParam);
        break;
    case WM_UDP_LIST:
        printf("list %s changed\n", wParam == LIST_SERVER   ? "server"
                                    : wParam == LIST_CLIENT ? "client"
                                                            : "live-user");
        break;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 1 && argc != 3) {
        fprintf(stderr, "usage: %s [SERVER_IP SERVER_PORT]\n", argv[0]);
        return 2;
    }
    static struct MUDPWindow window = {on_event, NULL};
    initInstance();
    setRevWindowsHandle(&window);
    setLocalName("hello");
    setLocalAddr("127.0.0.1");

    const unsigned short port = autoBind(45454, 45554);
    if (port == 0) {
        fprintf(stderr, "hello: no free UDP port from 45454 to 45553\n");
        clearInstance();
        return 1;
    }
    printf("bound port %u\n", (unsigned)port);

    char server[16] = "127.0.0.1";
    unsigned short server_port = port;
    if (argc == 3) {
        snprintf(server, sizeof server, "%s", argv[1]);
        server_port = (unsigned short)strtoul(argv[2], NULL, 10);
    }
    regToServer(server, server_port); /* waits up to about 2 s, events run */

    int count = 0;
    PEERINFO *servers = getServerList(&count);
    for (int i = 0; i < count; ++i)
        printf("server %s at %s:%u\n", servers[i].name, servers[i].ip, (unsigned)servers[i].port);
    printf("seen by the server as %s:%u\n", getAddrForPeer(), (unsigned)getPortForPeer());

    clearInstance();
    return count > 0 ? 0 : 1;
}
