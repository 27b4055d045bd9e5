// The tests' host window. Off Windows it is the library's MUDPWindow, whose
// procedure the library calls directly. On Windows the same struct makes a
// message-only window whose procedure hands the unit's messages to `proc`, so
// SendMessageW delivers them as a host's window would get them.
#pragma once

#include "mudp.h"

#if defined(_WIN32)
typedef LRESULT (*MUDPWindowProc)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct MUDPWindow {
    MUDPWindow(MUDPWindowProc proc, void *user);
    ~MUDPWindow();
    MUDPWindow(const MUDPWindow &) = delete;
    MUDPWindow &operator=(const MUDPWindow &) = delete;

    MUDPWindowProc proc;
    void *user;
    HWND hwnd;
};

inline HWND windowHandle(MUDPWindow &w) { return w.hwnd; }
// The user pointer of the window that a procedure was called for.
void *windowUser(HWND window);
#else
inline HWND windowHandle(MUDPWindow &w) { return &w; }
inline void *windowUser(HWND window) { return window->user; }
#endif
