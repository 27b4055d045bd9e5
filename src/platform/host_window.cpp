#include "platform/host_window.h"

namespace platform {

void sendWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!window)
        return;
#if defined(_WIN32)
    SendMessageW(window, message, wParam, lParam);
#else
    if (window->proc)
        window->proc(window, message, wParam, lParam);
#endif
}

} // namespace platform
