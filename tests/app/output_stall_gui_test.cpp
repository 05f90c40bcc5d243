// The window when the receiver's line stops taking bytes: the output ring fills,
// the wake-up writes fail with the stack's error, which the default handler
// shows, and the window stays usable: "Zurück" still closes the port.
#include "errors/error_codes.h"
#include "errors/exceptions.h"
#include "gui_fixture.h"
#include "platform/win32.h"
#include "pty_port.h"

namespace korva::test {
namespace {

using dud::test::PtyPort;

class OutputStall : public WindowTest {};

TEST_F(OutputStall, AFullOutputRingIsShownAndTheWindowStaysUsable) {
  PtyPort& port = Port(3);
  WriteSettings("[com]\nport=3\n");
  ModalScript modals;
  // The first failing "_" shows the default handler's box; the operator presses
  // OK and then "Zurück", which must close the port although nothing drains.
  bool closed_from_box = false;
  modals.Then([&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    box->button(QMessageBox::Ok)->click();
    Button("btn_back")->click();
    closed_from_box = true;
  });
  Button("btn_next")->click();
  ASSERT_TRUE(Window().com_port().Open());

  // Nobody reads the master: write until the pty holds no more and blocks are
  // refused again and again. Bounded: the pty and the ring hold far less than
  // the 16 MiB this may try.
  const std::string block(1024, 'x');
  int refused_code = 0;
  int refusals_in_a_row = 0;
  for (int i = 0; i < 16384 && refusals_in_a_row < 50 && Window().com_port().Open(); ++i) {
    try {
      Window().com_port().PutString(block);
      refusals_in_a_row = 0;
    } catch (const dud::EDudException& e) {
      refused_code = e.ErrorCode();
      ++refusals_in_a_row;
      Spin(2);  // lets the write thread move what it can, and the timer tick
    }
  }
  EXPECT_EQ(refused_code, dud::ecOutputBufferTooSmall) << "a stalled line must make PutString refuse, not block";

  ASSERT_TRUE(SpinUntil([&] { return closed_from_box; })) << "no box for the failing wake-up write";
  EXPECT_EQ(modals.seen().front().text, QString("Output buffer too small for block"));
  EXPECT_TRUE(SpinUntil([&] { return ConfigShowing() && !Window().com_port().Open(); }));
  Spin(100);  // the timer keeps ticking; a closed port raises nothing more
  EXPECT_EQ(modals.seen().size(), 1u);
  EXPECT_EQ(modals.unexpected(), 0);

  // The port is free again: another user can take the device.
  HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << "last error " << GetLastError();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  (void)port;
}

}  // namespace
}  // namespace korva::test
