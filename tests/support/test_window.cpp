#if defined(_WIN32)
#include "support/test_window.h"

namespace {

const wchar_t className[] = L"MUDPTestWindow";

LRESULT CALLBACK forward(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *w = reinterpret_cast<MUDPWindow *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (w && message >= WM_UDP_DATA && message <= WM_UDP_LIST)
        return w->proc(hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void registerClass()
{
    static const bool done = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = forward;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = className;
        return RegisterClassW(&wc) != 0;
    }();
    (void)done;
}

} // namespace

MUDPWindow::MUDPWindow(MUDPWindowProc proc, void *user) : proc(proc), user(user)
{
    registerClass();
    hwnd = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MUDPWindow::~MUDPWindow() { DestroyWindow(hwnd); }

void *windowUser(HWND window)
{
    return reinterpret_cast<MUDPWindow *>(GetWindowLongPtrW(window, GWLP_USERDATA))->user;
}
#endif
