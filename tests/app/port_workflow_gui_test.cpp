// The window driving a port: pseudo-terminals stand in for the receiver's line,
// and what the window sends is read on their master side (and decoded by the
// receiver simulator's decoder).
#include <algorithm>

#include "gui_fixture.h"
#include "platform/win32.h"
#include "pty_port.h"
#include "tools/receiver_decode.h"

namespace korva::test {
namespace {

using dud::test::PtyPort;

class PortWorkflow : public WindowTest {
 protected:
  // Runs the window until the master has received at least n wake-up characters;
  // returns everything that arrived.
  std::string CollectWakeUps(PtyPort& port, size_t n) {
    std::string got;
    EXPECT_TRUE(SpinUntil([&] {
      got += port.ReadMasterAvailable(0);
      return static_cast<size_t>(std::count(got.begin(), got.end(), '_')) >= n;
    })) << "only " << got.size() << " bytes arrived";
    return got;
  }
  // Runs the window for ms and returns what the master received meanwhile.
  std::string Quiet(PtyPort& port, int ms = 300) {
    Spin(ms);
    return port.ReadMasterAvailable(20);
  }
  static bool OnlyWakeUps(const std::string& s) { return std::all_of(s.begin(), s.end(), [](char c) { return c == '_'; }); }

  void ExpectWaking(uint16_t number) {
    EXPECT_TRUE(TransmitShowing());
    EXPECT_EQ(Status(), (QStringList{"Empfänger einschalten.", "Leuchten die roten LEDs?"}));
    EXPECT_EQ(StatusSelection(), 1);
    EXPECT_EQ(PortLabel(), QStringLiteral("COM%1").arg(number));
    EXPECT_TRUE(Button("btn_transmit")->isEnabled());
    EXPECT_TRUE(Timer()->isActive());
    EXPECT_TRUE(Window().com_port().Open());
    EXPECT_EQ(Window().com_port().ComNumber(), number);
  }
  void ExpectOpenFailed() {
    EXPECT_TRUE(TransmitShowing());
    EXPECT_EQ(Status(), QStringList{"Bitte COM-Port einstellen!"});
    EXPECT_EQ(PortLabel(), "N/A");
    EXPECT_FALSE(Timer()->isActive());
    EXPECT_FALSE(Window().com_port().Open());
  }
};

TEST_F(PortWorkflow, NextOpensTheStoredPortAndWakesTheReceiverUntilBack) {
  PtyPort& port = Port(3);
  WriteSettings("[com]\nport=3\n");
  ModalScript modals;
  Button("btn_next")->click();
  ExpectWaking(3);
  const std::string stream = CollectWakeUps(port, 10);
  EXPECT_TRUE(OnlyWakeUps(stream)) << "the line carries nothing but \"_\" while waking";

  Button("btn_back")->click();
  EXPECT_TRUE(ConfigShowing());
  EXPECT_FALSE(Window().com_port().Open());
  EXPECT_TRUE(Timer()->isActive()) << "Zurück does not stop the timer";
  port.ReadMasterAvailable(20);  // what was on its way before the close
  EXPECT_EQ(Quiet(port), "") << "a closed port sends nothing although the timer ticks";

  // Entering again opens the port again.
  Button("btn_next")->click();
  ExpectWaking(3);
  EXPECT_TRUE(OnlyWakeUps(CollectWakeUps(port, 3)));
  EXPECT_EQ(modals.unexpected(), 0);
  EXPECT_TRUE(modals.seen().empty());
}

struct FrameCase {
  const char* address;
  const char* key;  // nullptr: "Ohne (Key = 0)" stays checked
  std::string frame;
  uint16_t decoded_address;
  int decoded_key;
};

TEST_F(PortWorkflow, TransmitSendsTheKeyFrameOnceAndStopsTheStream) {
  const FrameCase cases[] = {
      {"00001", nullptr, std::string("\x59\x01\x8B\x00\x00\x8C", 6), 1, 0},
      {"00000", nullptr, std::string("\x59\x00\x8B\x00\x00\x8B", 6), 0, 0},
      {"12345", nullptr, std::string("\x59\x39\x8B\x30\x00\xF4", 6), 12345, 0},
      {"65535", nullptr, std::string("\x59\xFF\x8B\xFF\x00\x89", 6), 65535, 0},
      {"65536", nullptr, std::string("\x59\x00\x8B\x00\x00\x8B", 6), 0, 0},
      {"99999", nullptr, std::string("\x59\x9F\x8B\x86\x00\xB0", 6), 0x869F, 0},
      {"12345", "42", std::string("\x59\x39\xB5\x30\x00\x1E", 6), 12345, 42},
      {"65535", "99", std::string("\x59\xFF\xEE\xFF\x00\xEC", 6), 65535, 99},
      {"12 3 ", "5", std::string("\x59\xFE\x90\x2E\x00\xBC", 6), 12030, 5},
  };
  PtyPort& port = Port(2);
  WriteSettings("[com]\nport=2\n");
  ModalScript modals;
  auto* cb = Get<QCheckBox>("cb_seckey");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " key " + (c.key ? c.key : "none"));
    Edit("edit_sysadr")->SetText(c.address);
    if ((c.key != nullptr) == cb->isChecked()) cb->click();
    if (c.key != nullptr) Edit("edit_seckey")->SetText(c.key);
    Button("btn_next")->click();
    ExpectWaking(2);
    std::string line = CollectWakeUps(port, 3);

    Button("btn_transmit")->click();
    EXPECT_TRUE(SpinUntil([&] {
      line += port.ReadMasterAvailable(0);
      const size_t y = line.find('Y');
      return y != std::string::npos && line.size() >= y + 6;
    }));
    line += Quiet(port, 200);
    const size_t y = line.find('Y');
    ASSERT_NE(y, std::string::npos);
    EXPECT_TRUE(OnlyWakeUps(line.substr(0, y)));
    EXPECT_EQ(line.substr(y), c.frame) << "the frame, and nothing after it";

    const auto& f = c.frame;
    auto byte = [&](int i) { return QString::number(static_cast<uint8_t>(f[static_cast<size_t>(i)])); };
    const QStringList sent = {"Starte Übertragung", "SYSLO:" + byte(1), "KEY:  " + byte(2), "SYSHI:" + byte(3),
                              "CHK:  " + byte(5), "Übertragung beendet.", "Quittierungston gehört?"};
    EXPECT_EQ(Status(), QStringList({"Empfänger einschalten.", "Leuchten die roten LEDs?"}) + sent);
    EXPECT_EQ(StatusSelection(), 8);
    EXPECT_FALSE(Button("btn_transmit")->isEnabled());
    EXPECT_FALSE(Timer()->isActive());
    EXPECT_TRUE(Window().com_port().Open()) << "the port stays open after sending";

    receiver::TReceiverParser receiver;
    const auto events = receiver.Feed(line);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, receiver::TEventKind::WakeUp);
    ASSERT_EQ(events[1].Kind, receiver::TEventKind::Frame);
    EXPECT_TRUE(events[1].Frame.Valid());
    EXPECT_EQ(events[1].Frame.Address, c.decoded_address);
    EXPECT_EQ(events[1].Frame.Key, c.decoded_key);

    Button("btn_back")->click();
  }
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(PortWorkflow, ChoosingAPortOpensItAndStoresItsNumber) {
  PtyPort& com3 = Port(3);
  PtyPort& com5 = Port(5);
  ModalScript modals;
  modals.ThenChoosePort(5);
  Button("btn_next")->click();  // no stored port
  EXPECT_FALSE(Button("btn_transmit")->isEnabled());
  Button("btn_com")->click();
  ASSERT_EQ(modals.seen().size(), 1u);
  EXPECT_EQ(modals.seen()[0].ports, (QStringList{"COM3", "COM5"}));
  ExpectWaking(5);
  EXPECT_EQ(Settings(), "[com]\nport=5\n");
  EXPECT_TRUE(OnlyWakeUps(CollectWakeUps(com5, 3)));

  // Again while open: the port closes, the dialog asks, the new port opens.
  modals.ThenChoosePort(3);
  Button("btn_com")->click();
  ExpectWaking(3);
  EXPECT_EQ(Settings(), "[com]\nport=3\n");
  com5.ReadMasterAvailable(20);
  EXPECT_TRUE(OnlyWakeUps(CollectWakeUps(com3, 3)));
  EXPECT_EQ(Quiet(com5, 100), "") << "the old port was closed";

  // After sending, choosing the port again makes "Übertragen" usable again.
  Button("btn_transmit")->click();
  EXPECT_FALSE(Button("btn_transmit")->isEnabled());
  modals.ThenChoosePort(3);
  Button("btn_com")->click();
  ExpectWaking(3);
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(PortWorkflow, CancellingTheChoiceWhileWakingClosesThePort) {
  PtyPort& port = Port(3);
  WriteSettings("[com]\nport=3\n");
  ModalScript modals;
  Button("btn_next")->click();
  ExpectWaking(3);
  modals.ThenAbortPortDialog();
  modals.ThenOk();
  Button("btn_com")->click();
  ASSERT_EQ(modals.seen().size(), 2u);
  EXPECT_EQ(modals.seen()[1].text, kOpenErrorText);
  ExpectOpenFailed();
  EXPECT_TRUE(Button("btn_transmit")->isEnabled()) << "keeps its state";
  EXPECT_EQ(Window().com_port().ComNumber(), 0) << "the choice began by clearing the number";
  EXPECT_EQ(Settings(), "[com]\nport=3\n");
  port.ReadMasterAvailable(20);
  EXPECT_EQ(Quiet(port), "");
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(PortWorkflow, AFailedSettingsWriteCountsAsAFailedChoice) {
  Port(3);
  std::filesystem::create_directory(dir_.File("settings.ini"));  // unwritable, also for root
  ModalScript modals;
  modals.ThenChoosePort(3);
  modals.ThenOk();
  Button("btn_next")->click();
  Button("btn_com")->click();
  ASSERT_EQ(modals.seen().size(), 2u);
  EXPECT_EQ(modals.seen()[1].title, "Fehler");
  EXPECT_EQ(modals.seen()[1].text, kOpenErrorText);
  ExpectOpenFailed();
  EXPECT_EQ(Window().com_port().ComNumber(), 3) << "the chosen number stays while the program runs";
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(PortWorkflow, IgnoredStoredPortIsStillWrittenAfterAChoice) {
  Port(4);
  WriteSettings("[com]\nsave=0\nport=3\n");
  ModalScript modals;
  modals.ThenChoosePort(4);
  EXPECT_EQ(Window().com_port().ComNumber(), 0);
  Button("btn_next")->click();
  Button("btn_com")->click();
  ExpectWaking(4);
  EXPECT_EQ(Settings(), "[com]\nsave=0\nport=4\n");
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(PortWorkflow, APortHeldElsewhereFailsToOpen) {
  PtyPort& port = Port(3);
  WriteSettings("[com]\nport=3\n");
  HANDLE other = CreateFileA(port.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  ModalScript modals;
  modals.ThenOk();
  Button("btn_next")->click();
  ASSERT_EQ(modals.seen().size(), 1u);
  EXPECT_EQ(modals.seen()[0].text, kOpenErrorText);
  ExpectOpenFailed();
  EXPECT_EQ(Window().com_port().ComNumber(), 0);
  CloseHandle(other);

  // Once the other program let go, choosing the port again succeeds.
  modals.ThenChoosePort(3);
  Button("btn_com")->click();
  ExpectWaking(3);
  EXPECT_EQ(Settings(), "[com]\nport=3\n");
  EXPECT_TRUE(OnlyWakeUps(CollectWakeUps(port, 3)));
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(PortWorkflow, ClosingTheWindowWhileWakingClosesThePort) {
  PtyPort& port = Port(3);
  WriteSettings("[com]\nport=3\n");
  Window().show();
  Button("btn_next")->click();
  ExpectWaking(3);
  CollectWakeUps(port, 2);
  window_.reset();  // what the end of the program does after the window closed
  port.ReadMasterAvailable(20);
  EXPECT_EQ(Quiet(port), "");
  // The port is free again: another program can open it.
  HANDLE again = CreateFileA(port.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

}  // namespace
}  // namespace korva::test
