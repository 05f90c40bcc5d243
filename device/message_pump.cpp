// One turn of the calling thread's message loop, for wait loops that must keep
// the thread's windows answering.
#include "device/message_pump.h"

#include "platform/win32.h"

namespace dud {

void PumpOneMessage() {
  MSG msg{};
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
  if (msg.message == WM_QUIT) {
    // Taking the quit request out would swallow it; the main loop must still end.
    PostQuitMessage(static_cast<int>(msg.wParam));
    return;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

}  // namespace dud
