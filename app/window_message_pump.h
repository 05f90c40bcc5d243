// Drains the application thread's window-message queue from Qt's event loop.
//
// The port component's notification window and the stack's waits use the
// platform's per-thread message queue. Its wake descriptor is readable while a
// message waits; a socket notifier on it runs PeekMessageA/DispatchMessageA on the
// thread that created the pump, so the component's notifications and sent
// messages are handled between Qt's own events, also inside modal dialogs.
//
// Threads: create, use and destroy on the application (GUI) thread only.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

class TWindowMessagePump : public QObject {
  Q_OBJECT

 public:
  explicit TWindowMessagePump(QObject* Parent = nullptr);
  ~TWindowMessagePump() override;

  // Handles waiting messages, at most MaxPerWake of them, so that a flood of
  // messages cannot starve Qt's events; the descriptor stays readable for the rest.
  void Drain();

  static constexpr int MaxPerWake = 64;

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};
