#include "app/window_message_pump.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "app/exception_handler.h"
#include "platform/dud_platform.h"
#include "platform/win32.h"

TWindowMessagePump::TWindowMessagePump(QObject* Parent) : QObject(Parent) {
  const int fd = dud::platform::MessageQueueWakeFd();  // -1 where Qt dispatches window messages itself
  if (fd < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { korva::Guarded([this] { Drain(); }); });
}

TWindowMessagePump::~TWindowMessagePump() = default;

void TWindowMessagePump::Drain() {
  MSG Msg{};
  for (int i = 0; i < MaxPerWake; ++i) {
    // Handles sent messages first; returns FALSE when no posted message waits.
    if (!PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) return;
    if (Msg.message == WM_QUIT) {
      QCoreApplication::exit(static_cast<int>(Msg.wParam));
      return;
    }
    TranslateMessage(&Msg);
    DispatchMessageA(&Msg);
  }
}
