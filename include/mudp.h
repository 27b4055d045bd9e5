/*
 * mudp.h - peer-to-peer messaging over UDP, the library's C interface.
 *
 * One unit per process: initInstance() creates it, clearInstance() destroys
 * it, and every other function acts on it. Call all functions from the thread
 * that called initInstance().
 *
 * Events (received data, log lines, list changes) reach the host as messages
 * to a host window set with setRevWindowsHandle(). On Windows that is a real
 * HWND and the messages arrive through SendMessageW. Elsewhere an HWND is a
 * pointer to a host-owned MUDPWindow whose procedure the library calls
 * synchronously, exactly as SendMessageW would.
 *
 * The library runs no event loop of its own. Socket and timer events are
 * processed inside calls that wait (regToServer, unRegFromServer, the send
 * functions) and whenever the host runs the thread's event loop. Off Windows
 * the library's Qt uses the GLib main context of the thread, so a host that
 * is not a Qt application lets the unit work between calls with its own GLib
 * loop, or by calling g_main_context_iteration(NULL, FALSE) now and then.
 */
#ifndef MUDP_H
#define MUDP_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#  include <windows.h>
#  if defined(MUDP_BUILDING)
#    define MUDP_API __declspec(dllexport)
#  else
#    define MUDP_API __declspec(dllimport)
#  endif
#else
#  define MUDP_API __attribute__((visibility("default")))

typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

struct MUDPWindow;
typedef struct MUDPWindow *HWND;

/* The window procedure of a host window; its result is ignored. */
typedef LRESULT (*MUDPWindowProc)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/* A host window: the host owns it and keeps it alive while it is set. */
struct MUDPWindow {
    MUDPWindowProc proc;
    void *user;
};
#endif

/* Messages to the host window. The texts and data they point to stay valid
 * until the window procedure returns, whatever it calls meanwhile. */
#define WM_UDP_DATA 2023 /* wParam: payload address, lParam: its length */
#define WM_UDP_LOG 2024  /* wParam: GB18030 log line, NUL-terminated, lParam: its length */
#define WM_UDP_LIST 2025 /* wParam: which list changed, lParam: 0 */

/* wParam codes of WM_UDP_LIST. */
#define LIST_SERVER 100
#define LIST_LIVEUSER 101
#define LIST_CLIENT 102

/* Default UDP port. */
#define MUDP_DEFAULT_PORT 45454

/*
 * One peer: in the server, client and live-user lists, on the wire in user
 * lists, and in the arrays the list functions return. 144 bytes, little-endian.
 * Texts are NUL-terminated inside their width; names are GB18030 bytes.
 */
typedef struct PEERINFO {
    char name[40];          /* the peer's name */
    char ip[16];            /* its address as seen by whoever made the record */
    char localIp[16];       /* the address it declares for itself */
    unsigned short port;    /* its port as seen */
    unsigned short localPort; /* the port it declares for itself */
    char serverName[40];    /* client and live-user records: the server's name */
    char serverIp[16];      /* the server's configured address */
    unsigned short serverPort; /* the server's bound port */
    unsigned short padding; /* zero */
    int32_t access;         /* 1: datagrams go straight to this peer */
    int32_t life;           /* heartbeat countdown; -9999 marks for removal */
} PEERINFO;

#if defined(__cplusplus)
#  define MUDP_STATIC_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define MUDP_STATIC_ASSERT(c, m) _Static_assert(c, m)
#else
/* Two steps, so that __LINE__ is expanded before it is pasted: each assertion
 * declares a typedef of its own line. */
#  define MUDP_PASTE_(a, b) a##b
#  define MUDP_PASTE(a, b) MUDP_PASTE_(a, b)
#  define MUDP_STATIC_ASSERT(c, m) \
    typedef char MUDP_PASTE(mudp_static_assert_, __LINE__)[(c) ? 1 : -1]
#endif

MUDP_STATIC_ASSERT(sizeof(PEERINFO) == 144, "PEERINFO is 144 bytes");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, name) == 0, "PEERINFO.name");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, ip) == 40, "PEERINFO.ip");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, localIp) == 56, "PEERINFO.localIp");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, port) == 72, "PEERINFO.port");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, localPort) == 74, "PEERINFO.localPort");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, serverName) == 76, "PEERINFO.serverName");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, serverIp) == 116, "PEERINFO.serverIp");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, serverPort) == 132, "PEERINFO.serverPort");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, padding) == 134, "PEERINFO.padding");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, access) == 136, "PEERINFO.access");
MUDP_STATIC_ASSERT(offsetof(PEERINFO, life) == 140, "PEERINFO.life");

#ifdef __cplusplus
class MUDPUnit;
extern "C" {
#else
typedef struct MUDPUnit MUDPUnit; /* opaque for C hosts */
#endif

/* Instance. */
MUDP_API MUDPUnit *initInstance(void);
MUDP_API void clearInstance(void);

/* Identity and socket. Texts longer than their fields (15 bytes for an
 * address, 39 for a name) are cut to fit, a name never inside a character. */
MUDP_API void setLocalName(char *name);
MUDP_API void setLocalAddr(char *addr);
/* bindPort binds the socket to port; autoBind binds the first free port from
 * first up to one below last and returns it, or 0 if none. A failed bind
 * leaves a socket already bound where it was. Port 0 (an ephemeral port the
 * unit could not declare to its peers) is refused: bindPort(0) returns false
 * and changes nothing, and autoBind never tries it. */
MUDP_API bool bindPort(unsigned short port);
MUDP_API unsigned short autoBind(unsigned short first, unsigned short last);
MUDP_API void setRevWindowsHandle(HWND window);

/* Registration; both block for up to about two seconds, processing events. */
MUDP_API void regToServer(char *serverIp, unsigned short serverPort);
MUDP_API void unRegFromServer(char *serverIp, unsigned short serverPort);

/* Sending; an address of "0.0.0.0" means every server (every client). */
MUDP_API void sendDataToServer(char *data, int size, char *serverIp, unsigned short serverPort);
MUDP_API void sendDataToClient(char *data, int size, char *clientIp, unsigned short clientPort);
MUDP_API void sendDataToLiveUser(char *data, int size, char *ip, unsigned short port, char *name,
                                 char *serverIp, unsigned short serverPort);

/* Lists. The array stays valid until the next list call, until the client
 * list changes (while events are processed), or until clearInstance; an array
 * got while the host window handles a message stays valid until that window
 * procedure returns, whatever it calls meanwhile. */
MUDP_API PEERINFO *getServerList(int *count);
MUDP_API PEERINFO *getClientList(int *count);
MUDP_API PEERINFO *getLiveUserList(int *count);

/* This unit's own address and port as a server that accepted it sees them. */
MUDP_API char *getAddrForPeer(void);
MUDP_API unsigned short getPortForPeer(void);

/* A closed network: the 32-byte key every unit of the host's deployment
 * shares. With a key, every datagram to and from the unit is authenticated
 * and encrypted, and a peer without the same key gets nothing from it and
 * through it. setNetworkKey(NULL, 0) returns to the open network. Any change
 * ends every session made with the old key. The library keeps no copy of
 * the caller's buffer and never logs the key. Returns 1 when set (or
 * cleared), 0 for another length or without an instance. */
MUDP_API int setNetworkKey(const unsigned char *key, int length);

#ifdef __cplusplus
}
#endif

#endif /* MUDP_H */
