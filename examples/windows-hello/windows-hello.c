/*
 * windows-hello: a Win32 host of the mudp DLL.
 *
 *   windows-hello SERVER_IP SERVER_PORT NAME LOCAL_ADDR LOCAL_PORT [KEY_HEX]
 *
 * With KEY_HEX (64 hexadecimal characters) it first joins the closed network
 * of that key (setNetworkKey).
 * Makes a message-only window as the host window, sets its name and local
 * address, binds LOCAL_PORT, registers with the server, sends it the text
 * "hello from windows", prints every WM_UDP_DATA and WM_UDP_LOG the window
 * gets while its message loop runs for about two seconds, then unregisters.
 * Exits 0, or 1 when the port cannot be bound or the registration fails,
 * 2 for bad arguments.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <mudp.h>

/* The library sends its messages synchronously (SendMessageW) from inside
 * its calls and from the message loop; the pointers in wParam are valid only
 * during the call, so anything kept must be copied. */
static LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_UDP_LOG: /* a GB18030 line, NUL-terminated */
        printf("log  %s\n", (const char *)wParam);
        return 0;
    case WM_UDP_DATA: {
        const unsigned char *bytes = (const unsigned char *)wParam;
        long i, size = (long)lParam;
        printf("data %ld bytes: ", size);
        for (i = 0; i < size; ++i)
            putchar(bytes[i] >= 32 && bytes[i] < 127 ? bytes[i] : '.');
        putchar('\n');
        return 0;
    }
    case WM_UDP_LIST:
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static HWND make_host_window(void)
{
    WNDCLASSW wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = host_proc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"WindowsHelloHost";
    if (!RegisterClassW(&wc))
        return NULL;
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);
}

/* Runs the thread's message loop for ms milliseconds: it delivers the
 * library's socket and timer events as well as the host's own messages. */
static void pump_messages(DWORD ms)
{
    const DWORD start = GetTickCount();
    DWORD elapsed;
    while ((elapsed = GetTickCount() - start) < ms) {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, ms - elapsed < 50 ? ms - elapsed : 50, QS_ALLINPUT);
    }
}

static int parse_port(const char *text, unsigned short *port)
{
    char *end;
    unsigned long value = strtoul(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value == 0 || value > 65535)
        return 0;
    *port = (unsigned short)value;
    return 1;
}

/* 64 hexadecimal characters into 32 bytes. */
static int parse_key(const char *text, unsigned char key[32])
{
    int i;
    if (strlen(text) != 64)
        return 0;
    for (i = 0; i < 64; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return 0;
        key[i / 2] = (unsigned char)(i % 2 ? key[i / 2] | digit : digit << 4);
    }
    return 1;
}

int main(int argc, char **argv)
{
    static char hello[] = "hello from windows";
    unsigned short server_port, local_port;
    char server[16], name[40], local_addr[16];
    HWND window;
    PEERINFO *servers;
    int count = 0;
    unsigned char key[32];

    setvbuf(stdout, NULL, _IONBF, 0);
    if ((argc != 6 && argc != 7) || !parse_port(argv[2], &server_port) || !parse_port(argv[5], &local_port)
        || strlen(argv[1]) >= sizeof server || strlen(argv[3]) >= sizeof name
        || strlen(argv[4]) >= sizeof local_addr || (argc == 7 && !parse_key(argv[6], key))) {
        fprintf(stderr, "usage: windows-hello SERVER_IP SERVER_PORT NAME LOCAL_ADDR LOCAL_PORT [KEY_HEX]\n");
        return 2;
    }
    strcpy(server, argv[1]);
    strcpy(name, argv[3]);
    strcpy(local_addr, argv[4]);

    window = make_host_window();
    if (!window) {
        fprintf(stderr, "windows-hello: cannot create the host window\n");
        return 1;
    }
    initInstance();
    if (argc == 7) {
        const int keyed = setNetworkKey(key, (int)sizeof key);
        SecureZeroMemory(key, sizeof key); /* the library keeps no copy of it */
        if (!keyed) {
            fprintf(stderr, "windows-hello: the network key was refused\n");
            clearInstance();
            return 1;
        }
        printf("keyed\n");
    }
    setRevWindowsHandle(window);
    setLocalName(name);
    setLocalAddr(local_addr);
    if (!bindPort(local_port)) {
        fprintf(stderr, "windows-hello: cannot bind UDP port %u\n", (unsigned)local_port);
        clearInstance();
        return 1;
    }
    printf("bound %u\n", (unsigned)local_port);

    regToServer(server, server_port); /* waits up to about 2 s, events run */
    servers = getServerList(&count);
    if (count == 0) {
        fprintf(stderr, "windows-hello: %s:%u did not accept the registration\n", server, (unsigned)server_port);
        clearInstance();
        return 1;
    }
    printf("registered with %s at %s:%u, seen as %s:%u\n", servers[0].name, servers[0].ip,
           (unsigned)servers[0].port, getAddrForPeer(), (unsigned)getPortForPeer());

    sendDataToServer(hello, (int)strlen(hello), server, server_port);
    pump_messages(2000);

    unRegFromServer(server, server_port);
    clearInstance();
    DestroyWindow(window);
    printf("done\n");
    return 0;
}
