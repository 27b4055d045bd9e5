/* What the library tells the host, written to standard output. */
#ifndef MUDP_PEER_HOST_EVENTS_H
#define MUDP_PEER_HOST_EVENTS_H

#include <mudp.h>

/* The window procedure to hand to setRevWindowsHandle. */
LRESULT host_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/* Writes one list ("servers: ...", "clients: ...", "users: ...") for a
 * LIST_* code. */
void print_list(int code);

/* Writes the line for one received block. */
void print_data(const char *bytes, long size);

#endif
