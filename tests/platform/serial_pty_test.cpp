// The serial device functions over real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/port_names.h"
#include "platform/win32.h"
#include "pty_port.h"

using dud::test::PtyPort;

namespace {

constexpr DWORD kHangGuardMs = 5000;  // bounds every wait, so a fault fails instead of hanging

HANDLE OpenPort(const std::string& name, DWORD flags = FILE_FLAG_OVERLAPPED) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// An OVERLAPPED with its own manual-reset event.
struct Overlapped {
  OVERLAPPED ov{};
  Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  bool Signalled(DWORD ms = kHangGuardMs) const { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
};

void ReadReturnsAtOnce(HANDLE h) {
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
}

// Collects n bytes with read-returns-at-once reads, each pass waiting for EV_RXCHAR.
std::string ReadBytes(HANDLE h, size_t n) {
  std::string out;
  char buf[512];
  for (int rounds = 0; out.size() < n && rounds < 1000; ++rounds) {
    Overlapped o;
    DWORD got = 0;
    if (!ReadFile(h, buf, sizeof buf, &got, &o.ov)) {
      ADD_FAILURE() << "ReadFile failed with " << GetLastError();
      break;
    }
    out.append(buf, got);
    if (got == 0) {
      Overlapped w;
      DWORD ev = 0;
      if (!WaitCommEvent(h, &ev, &w.ov) && GetLastError() == ERROR_IO_PENDING && !w.Signalled()) {
        SetCommMask(h, EV_RXCHAR);  // ends the wait; the loop gives up after the hang guard
        break;
      }
    }
  }
  return out;
}

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = std::make_unique<PtyPort>(1);
    h_ = OpenPort(port_->name());
    ASSERT_NE(h_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  std::unique_ptr<PtyPort> port_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST_F(SerialPty, LineSettingsReadBackAsSet) {
  struct Case {
    DWORD baud;
    BYTE size, parity, stop;
    bool hw, sw;
  } cases[] = {
      {1200, 8, NOPARITY, ONESTOPBIT, false, false},  {9600, 7, EVENPARITY, TWOSTOPBITS, false, false},
      {115200, 8, ODDPARITY, ONESTOPBIT, true, false}, {250000, 6, MARKPARITY, ONESTOPBIT, false, true},
      {31250, 5, SPACEPARITY, ONE5STOPBITS, false, false}, {56000, 8, NOPARITY, TWOSTOPBITS, true, true},
  };
  for (const Case& c : cases) {
    DCB d{};
    ASSERT_TRUE(GetCommState(h_, &d));
    d.BaudRate = c.baud;
    d.ByteSize = c.size;
    d.Parity = c.parity;
    d.StopBits = c.stop;
    d.fOutxCtsFlow = c.hw;
    d.fRtsControl = c.hw ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = c.sw;
    d.fInX = c.sw;
    d.XonChar = 0x21;
    d.XoffChar = 0x23;
    d.XonLim = 100;
    d.XoffLim = 200;
    ASSERT_TRUE(SetCommState(h_, &d)) << c.baud << " " << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(h_, &back));
    EXPECT_EQ(back.DCBlength, sizeof(DCB));
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.ByteSize, c.size);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop);
    EXPECT_EQ(back.fOutxCtsFlow, c.hw ? 1u : 0u);
    EXPECT_EQ(back.fRtsControl, c.hw ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE);
    EXPECT_EQ(back.fOutX, c.sw ? 1u : 0u);
    EXPECT_EQ(back.fInX, c.sw ? 1u : 0u);
    EXPECT_EQ(back.XonChar, 0x21);
    EXPECT_EQ(back.XoffChar, 0x23);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
  }
}

TEST_F(SerialPty, RefusedSettingChangesNothing) {
  DCB d{};
  ASSERT_TRUE(GetCommState(h_, &d));
  d.BaudRate = 19200;
  ASSERT_TRUE(SetCommState(h_, &d));
  DCB bad = d;
  bad.BaudRate = 4800;
  bad.fDtrControl = DTR_CONTROL_HANDSHAKE;
  EXPECT_FALSE(SetCommState(h_, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DCB back{};
  ASSERT_TRUE(GetCommState(h_, &back));
  EXPECT_EQ(back.BaudRate, 19200u);
  EXPECT_EQ(back.fDtrControl, d.fDtrControl);
}

TEST_F(SerialPty, BytesTravelBothWaysInOrder) {
  ReadReturnsAtOnce(h_);
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  const std::string all = AllByteValues() + AllByteValues();
  Overlapped o;
  DWORD written = 0;
  BOOL ok = WriteFile(h_, all.data(), static_cast<DWORD>(all.size()), &written, &o.ov);
  if (!ok) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(h_, &o.ov, &written, TRUE));
  }
  EXPECT_EQ(written, all.size());
  EXPECT_EQ(port_->ReadMaster(all.size()), all);

  ASSERT_TRUE(port_->WriteMaster(all));
  EXPECT_EQ(ReadBytes(h_, all.size()), all);
}

TEST_F(SerialPty, ReadReturnsAtOnceWithWhatIsThere) {
  ReadReturnsAtOnce(h_);
  char buf[16];
  DWORD got = 99;
  Overlapped o;
  ASSERT_TRUE(ReadFile(h_, buf, sizeof buf, &got, &o.ov));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(o.Signalled(0)) << "the event is set also when the read finishes at once";
  DWORD n = 99;
  EXPECT_TRUE(GetOverlappedResult(h_, &o.ov, &n, FALSE));
  EXPECT_EQ(n, 0u);

  COMSTAT st{};
  ASSERT_TRUE(port_->WriteMaster("hello"));
  DWORD errors = 1;
  for (int i = 0; i < 500 && st.cbInQue < 5; ++i) {
    ASSERT_TRUE(ClearCommError(h_, &errors, &st));
    if (st.cbInQue < 5) Sleep(10);
  }
  EXPECT_EQ(st.cbInQue, 5u);
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(ReadFile(h_, buf, 3, &got, &o.ov));
  EXPECT_EQ(std::string(buf, got), "hel");
  ASSERT_TRUE(ReadFile(h_, buf, sizeof buf, &got, &o.ov));
  EXPECT_EQ(std::string(buf, got), "lo");
}

TEST_F(SerialPty, TimedReadEndsWithWhatArrived) {
  COMMTIMEOUTS t{0, 0, 100, 0, 0};  // total time-out of 100 ms
  ASSERT_TRUE(SetCommTimeouts(h_, &t));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(h_, &back));
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 100u);
  ASSERT_TRUE(port_->WriteMaster("ab"));
  Sleep(50);
  char buf[10];
  Overlapped o;
  DWORD got = 0;
  if (!ReadFile(h_, buf, sizeof buf, &got, &o.ov)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(o.Signalled());
    ASSERT_TRUE(GetOverlappedResult(h_, &o.ov, &got, FALSE));
  }
  EXPECT_EQ(std::string(buf, got), "ab");
}

TEST_F(SerialPty, PendingReadFinishesWhenAllBytesArrive) {
  char buf[6];
  Overlapped o;
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(h_, buf, sizeof buf, &got, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h_, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(port_->WriteMaster(std::string("\x00\xff", 2)));
  ASSERT_TRUE(port_->WriteMaster("abcd"));
  ASSERT_TRUE(GetOverlappedResult(h_, &o.ov, &n, TRUE));
  EXPECT_EQ(std::string(buf, n), std::string("\x00\xff" "abcd", 6));
}

TEST(SerialPtyOpen, SecondOpenIsRefusedInThisAndOtherProcesses) {
  PtyPort port(2);
  HANDLE h = OpenPort(port.name());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPort(port.name()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenPort("COM2", 0), INVALID_HANDLE_VALUE) << "the short name is the same device";
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // Another process: its open fails with 5 while this one holds the port.
  auto child_open = [&]() -> int {
    pid_t pid = fork();
    if (pid == 0) {
      HANDLE c = OpenPort(port.name());
      _exit(c == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError() & 0xFF) : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(child_open(), static_cast<int>(ERROR_ACCESS_DENIED));

  // The port still works for its owner.
  DWORD status = 1;
  EXPECT_TRUE(GetCommModemStatus(h, &status));
  EXPECT_EQ(status, 0u) << "a pty has no modem lines";

  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(child_open(), 0) << "closing released the lock";
  HANDLE again = OpenPort(port.name());
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
  EXPECT_FALSE(CloseHandle(h)) << "a closed handle is gone";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SerialPtyOpen, MissingPortsAndOtherNames) {
  PtyPort port(3);
  EXPECT_EQ(OpenPort("\\\\.\\COM9"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenPort("COM4"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenPort("\\\\.\\COM03"), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(OpenPort("/etc/passwd"), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  HANDLE lower = OpenPort("\\\\.\\com3");
  EXPECT_NE(lower, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(lower);
}

TEST_F(SerialPty, WaitCommEventReportsReceivedBytes) {
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_BREAK | EV_ERR));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(h_, &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_BREAK | EV_ERR);
  Overlapped o;
  DWORD ev = 0;
  ASSERT_FALSE(WaitCommEvent(h_, &ev, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD second = 0;
  Overlapped o2;
  EXPECT_FALSE(WaitCommEvent(h_, &second, &o2.ov)) << "one wait at a time";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(port_->WriteMaster("x"));
  ASSERT_TRUE(o.Signalled());
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(h_, &o.ov, &n, FALSE));
  EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(SerialPty, OldBytesDoNotWakeAWaitAgain) {
  ReadReturnsAtOnce(h_);
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  ASSERT_TRUE(port_->WriteMaster("abc"));
  Overlapped o;
  DWORD ev = 0;
  if (!WaitCommEvent(h_, &ev, &o.ov)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(o.Signalled());
  }
  EXPECT_EQ(ev, EV_RXCHAR);

  // The three bytes are still unread: they were reported, so the next wait stays pending.
  ev = 0;
  ASSERT_FALSE(WaitCommEvent(h_, &ev, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(o.Signalled(300));

  // Draining them does not wake it either; a new byte does.
  char buf[8];
  DWORD got = 0;
  Overlapped r;
  ASSERT_TRUE(ReadFile(h_, buf, sizeof buf, &got, &r.ov));
  EXPECT_EQ(std::string(buf, got), "abc");
  EXPECT_FALSE(o.Signalled(200));
  ASSERT_TRUE(port_->WriteMaster("d"));
  ASSERT_TRUE(o.Signalled());
  EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(SerialPty, EmptyMaskEndsAPendingWait) {
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR | EV_CTS | EV_DSR));
  Overlapped o;
  DWORD ev = 0xFFFF;
  ASSERT_FALSE(WaitCommEvent(h_, &ev, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::thread other([&] { SetCommMask(h_, 0); });
  ASSERT_TRUE(o.Signalled());
  other.join();
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(h_, &o.ov, &n, FALSE));
  EXPECT_EQ(ev, 0u);
  EXPECT_FALSE(WaitCommEvent(h_, &ev, &o.ov)) << "no wait without a mask";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SerialPty, CloseHandleEndsPendingOperations) {
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  Overlapped w, r;
  DWORD ev = 0;
  char buf[4];
  ASSERT_FALSE(WaitCommEvent(h_, &ev, &w.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_FALSE(ReadFile(h_, buf, sizeof buf, nullptr, &r.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(CloseHandle(h_));
  HANDLE closed = h_;
  h_ = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(w.Signalled());
  ASSERT_TRUE(r.Signalled());
  EXPECT_EQ(w.ov.Internal, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(r.ov.Internal, ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(ReadFile(closed, buf, sizeof buf, nullptr, &r.ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SerialPty, LargeWriteCompletesWhileTheMasterReadsSlowly) {
  std::string big;
  for (int i = 0; i < 256 * 1024; ++i) big.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
  Overlapped o;
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(h_, big.data(), static_cast<DWORD>(big.size()), &written, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING) << "more than the pty holds";
  std::string received;
  std::thread reader([&] {
    while (received.size() < big.size()) {
      std::string part = port_->ReadMaster(std::min<size_t>(4096, big.size() - received.size()));
      if (part.empty()) break;
      received += part;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(h_, &o.ov, &n, TRUE));
  reader.join();
  EXPECT_TRUE(o.Signalled(0));
  EXPECT_EQ(n, big.size());
  EXPECT_TRUE(received == big) << "received " << received.size() << " bytes";
}

TEST_F(SerialPty, PurgeAbortsPendingWrites) {
  std::string big(200 * 1024, 'z');
  Overlapped o;
  ASSERT_FALSE(WriteFile(h_, big.data(), static_cast<DWORD>(big.size()), nullptr, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_TRUE(o.Signalled());
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h_, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_LT(n, big.size());
  EXPECT_FALSE(PurgeComm(h_, 0x100));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SerialPty, CancelIoEndsTheCallersRequests) {
  char buf[4];
  Overlapped o;
  ASSERT_FALSE(ReadFile(h_, buf, sizeof buf, nullptr, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::thread other([&] { EXPECT_TRUE(CancelIo(h_)); });
  other.join();
  EXPECT_FALSE(o.Signalled(100)) << "another thread's CancelIo leaves this read alone";
  ASSERT_TRUE(CancelIo(h_));
  ASSERT_TRUE(o.Signalled());
  EXPECT_EQ(o.ov.Internal, ERROR_OPERATION_ABORTED);
}

TEST_F(SerialPty, MasterClosedIsTheDeviceGone) {
  ReadReturnsAtOnce(h_);
  ASSERT_TRUE(SetCommMask(h_, EV_RXCHAR));
  Overlapped o;
  DWORD ev = 0;
  ASSERT_FALSE(WaitCommEvent(h_, &ev, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  port_->CloseMaster();
  ASSERT_TRUE(o.Signalled());
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h_, &o.ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  char buf[8];
  Overlapped r;
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(ReadFile(h_, buf, sizeof buf, &n, &r.ov)) << "never an endless stream of empty reads";
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  }
  EXPECT_FALSE(WriteFile(h_, "x", 1, &n, &r.ov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(WaitCommEvent(h_, &ev, &o.ov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(CloseHandle(h_));
  h_ = INVALID_HANDLE_VALUE;
}

TEST_F(SerialPty, PendingWriteFailsWhenTheDeviceGoes) {
  std::string big(200 * 1024, 'q');
  Overlapped o;
  ASSERT_FALSE(WriteFile(h_, big.data(), static_cast<DWORD>(big.size()), nullptr, &o.ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  port_->CloseMaster();
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h_, &o.ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialPty, LineControlOnADeviceWithoutModemLines) {
  for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK}) EXPECT_TRUE(EscapeCommFunction(h_, f)) << f;
  EXPECT_FALSE(EscapeCommFunction(h_, 99));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SetupComm(h_, 8192, 8192));
  DWORD errors = 7;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(h_, &errors, &st));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(st.cbInQue, 0u);
  ASSERT_TRUE(port_->WriteMaster("1234"));
  for (int i = 0; i < 500 && st.cbInQue < 4; ++i) {
    ASSERT_TRUE(ClearCommError(h_, &errors, &st));
    if (st.cbInQue < 4) Sleep(10);
  }
  EXPECT_EQ(st.cbInQue, 4u);
  ASSERT_TRUE(PurgeComm(h_, PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_TRUE(ClearCommError(h_, &errors, &st));
  EXPECT_EQ(st.cbInQue, 0u);
}

TEST(SerialPtySync, HandleWithoutOverlappedBlocksTheCaller) {
  PtyPort port(5);
  HANDLE h = OpenPort(port.name(), 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::thread writer([&] {
    Sleep(50);
    port.WriteMaster("sync");
  });
  char buf[4];
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
  writer.join();
  EXPECT_EQ(std::string(buf, got), "sync");
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, "back", 4, &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(port.ReadMaster(4), "back");
  CloseHandle(h);
}

TEST_F(SerialPty, OutputEmptyIsReportedAfterAWrite) {
  ASSERT_TRUE(SetCommMask(h_, EV_TXEMPTY));
  Overlapped o;
  DWORD ev = 0;
  ASSERT_FALSE(WaitCommEvent(h_, &ev, &o.ov)) << "nothing was written yet";
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  Overlapped w;
  DWORD written = 0;
  BOOL ok = WriteFile(h_, "out", 3, &written, &w.ov);
  if (!ok) {
    ASSERT_TRUE(GetOverlappedResult(h_, &w.ov, &written, TRUE));
  }
  ASSERT_TRUE(o.Signalled());
  EXPECT_EQ(ev, EV_TXEMPTY);
  EXPECT_EQ(port_->ReadMaster(3), "out");
}

TEST(PortNames, ComNamesAndTheDefaultMapping) {
  struct Name {
    const char* text;
    int number;
  } names[] = {{"COM1", 1},       {"\\\\.\\COM12", 12}, {"com7", 7},   {"\\\\.\\cOm48", 48},
               {"COM9999", 9999}, {"COM0", 0},          {"COM01", 0},  {"COM", 0},
               {"COM1x", 0},      {"LPT1", 0},          {"/dev/ttyS0", 0}, {"COM10000", 0}};
  for (const Name& n : names) EXPECT_EQ(dud::posix::ParseComName(n.text), n.number) << n.text;
  EXPECT_EQ(dud::posix::ParseComName(nullptr), 0);

  // Without a ports directory the numbers map to the usual device names.
  const char* old = getenv("DUD_PORTS_DIR");
  std::string saved = old != nullptr ? old : "";
  setenv("DUD_PORTS_DIR", "/nonexistent/dud-ports-for-a-test", 1);
  struct Device {
    int number;
    const char* path;  // null: no such port
  } devices[] = {{1, "/dev/ttyS0"},    {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {40, "/dev/ttyUSB7"},
                 {41, "/dev/ttyACM0"}, {48, "/dev/ttyACM7"},  {49, nullptr},        {0, nullptr}};
  for (const Device& d : devices) {
    std::string path;
    DWORD err = dud::posix::ResolveComPort(d.number, &path);
    if (d.path == nullptr) {
      EXPECT_EQ(err, ERROR_FILE_NOT_FOUND) << d.number;
    } else {
      EXPECT_EQ(err, ERROR_SUCCESS) << d.number;
      EXPECT_EQ(path, d.path);
    }
  }
  if (old != nullptr)
    setenv("DUD_PORTS_DIR", saved.c_str(), 1);
  else
    unsetenv("DUD_PORTS_DIR");
}
