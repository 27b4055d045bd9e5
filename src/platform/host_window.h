// Delivery of notification messages to the host window.
#pragma once

#include "mudp.h"

namespace platform {

// Sends one message to the window and returns once its procedure has handled
// it, as SendMessageW does. A null window receives nothing.
void sendWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace platform
