// The dispatcher over a real pseudo-terminal through the Win32 device layer: a key
// frame put into the output ring reaches the line in order, and bytes arriving on
// the line reach the dispatch ring and fire the avail trigger as a message to a
// hidden window of the test's thread.
#include <gtest/gtest.h>

#include <string>

#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"
#include "pty_port.h"

namespace dud {
namespace {

using test::PtyPort;

// Handles this thread's messages until Done() holds or about 5 s have passed.
template <class TDone>
bool PumpUntil(TDone Done) {
  for (int Round = 0; Round < 500 && !Done(); ++Round) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG Msg;
    while (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&Msg);
  }
  return Done();
}

TEST(DispatcherPty, KeyFrameArrivesInOrder) {
  PtyPort Port(11);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(D.InitPort(Port.name(), 1200, 0, 8, 1, 4096, 2048, ipRaiseDTR | ipRaiseRTS), ecOK);
  // Address 12345, key 0: 'Y', low byte, key + 139, high byte, 0x00, check byte.
  const uint8_t Frame[6] = {'Y', 0x39, 0x8B, 0x30, 0x00, 0xF4};
  ASSERT_EQ(D.PutBlock(Frame, 6), ecOK);
  const std::string Got = Port.ReadMaster(6);
  EXPECT_EQ(Got, std::string(reinterpret_cast<const char*>(Frame), 6));
  D.ClosePort();
}

TEST(DispatcherPty, WakeUpStreamThenFrameKeepOrder) {
  PtyPort Port(12);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(D.InitPort(Port.name(), 1200, 0, 8, 1, 4096, 2048, ipRaiseDTR | ipRaiseRTS), ecOK);
  std::string Expected;
  for (int I = 0; I < 20; ++I) {
    ASSERT_EQ(D.PutChar('_'), ecOK);
    Expected += '_';
  }
  const uint8_t Frame[6] = {'Y', 0x01, 0x8C, 0x00, 0x00, 0x00};
  ASSERT_EQ(D.PutBlock(Frame, 6), ecOK);
  Expected.append(reinterpret_cast<const char*>(Frame), 6);
  EXPECT_EQ(Port.ReadMaster(Expected.size()), Expected);
}

// The window that receives the trigger messages, and what it saw.
struct AvailSeen {
  TDudWin32Dispatcher* D = nullptr;
  int Messages = 0;
  uint32_t Count = 0;
  int32_t LParam = 0;
  std::string Bytes;
};
AvailSeen* Seen = nullptr;

LRESULT CALLBACK AvailProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (Msg == TriggerAvailMsg && Seen != nullptr) {
    ++Seen->Messages;
    Seen->Count = static_cast<uint32_t>(wParam);
    Seen->LParam = static_cast<int32_t>(lParam);
    std::string Buf(wParam, '\0');
    if (Seen->D->GetBlock(Buf.data(), static_cast<uint32_t>(wParam)) == ecOK) Seen->Bytes += Buf;
    return 0;
  }
  return DefWindowProcA(Wnd, Msg, wParam, lParam);
}

TEST(DispatcherPty, ReceivedBytesFireTheAvailTriggerAtTheWindow) {
  PtyPort Port(13);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(D.InitPort(Port.name(), 1200, 0, 8, 1, 4096, 2048, ipRaiseDTR | ipRaiseRTS), ecOK);

  WNDCLASSA Class{};
  Class.lpfnWndProc = &AvailProc;
  Class.lpszClassName = "dispatcherPtyTestWindow";
  RegisterClassA(&Class);
  HWND Wnd = CreateWindowExA(0, Class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(Wnd, nullptr);
  AvailSeen State;
  State.D = &D;
  Seen = &State;

  D.RegisterWndHandler(Wnd);
  D.UpdateHandlerFlags(uhForceWndOn);
  D.SetAvailLevel(5);
  ASSERT_TRUE(Port.WriteMaster("hello"));
  EXPECT_TRUE(PumpUntil([&] { return State.Bytes.size() >= 5; }));
  EXPECT_EQ(State.Bytes, "hello");
  EXPECT_EQ(State.Count, 5u);
  EXPECT_EQ(State.LParam, D.Handle * 65536);
  EXPECT_EQ(D.InBuffUsed(), 0u);  // the handler read everything it was told of

  // Fewer bytes than the level: no message.
  const int Before = State.Messages;
  ASSERT_TRUE(Port.WriteMaster("abc"));
  PumpUntil([&] { return D.InBuffUsed() >= 3; });
  EXPECT_EQ(D.InBuffUsed(), 3u);
  EXPECT_EQ(State.Messages, Before);

  D.DeregisterWndHandler(Wnd);
  D.ClosePort();
  Seen = nullptr;
  DestroyWindow(Wnd);
}

}  // namespace
}  // namespace dud
