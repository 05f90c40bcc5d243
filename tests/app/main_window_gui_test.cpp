// The window without a serial port: its controls, the masked fields, the start
// from the settings file, the key check box, and the paths that end in "no port",
// a failed open, or the default exception handler.
#include <QFont>
#include <QFrame>
#include <QImage>
#include <QTest>
#include <ostream>
#include <thread>

#include "app/artwork.h"
#include "app/exception_handler.h"
#include "app/window_message_pump.h"
#include "dispatch/dispatcher_thread.h"
#include "errors/exceptions.h"
#include "gui_fixture.h"
#include "platform/win32.h"

namespace korva::test {
namespace {

using MainWindow = WindowTest;

TEST_F(MainWindow, ControlsHaveTheirNamesPlacesAndTexts) {
  struct Control {
    const char* name;
    const char* parent;
    int left, top, width, height;  // width -1: sized by its text
    const char* text;
  } controls[] = {
      {"img_logo", "gui_main", 0, 0, 348, 60, nullptr},
      {"line_logo", "gui_main", 0, 60, 348, 2, nullptr},
      {"pnl_config", "gui_main", 0, 62, 348, 57, nullptr},
      {"lbl_sysadr", "pnl_config", 8, 8, -1, -1, "Systemadresse"},
      {"lbl_seckey", "pnl_config", 8, 34, -1, -1, "Security Key"},
      {"edit_sysadr", "pnl_config", 88, 6, 40, 21, nullptr},
      {"edit_seckey", "pnl_config", 88, 32, 40, 21, nullptr},
      {"cb_seckey", "pnl_config", 136, 34, 97, 17, "Ohne (Key = 0)"},
      {"btn_next", "pnl_config", 258, 4, 87, 24, "Weiter"},
      {"btn_exit", "pnl_config", 258, 31, 87, 24, "Beenden"},
      {"pnl_transmit", "gui_main", 0, 62, 348, 57, nullptr},
      {"btn_transmit", "pnl_transmit", 258, 4, 87, 24, "Übertragen"},
      {"btn_back", "pnl_transmit", 258, 31, 87, 24, "Zurück"},
      {"lb_status", "pnl_transmit", 104, 4, 148, 51, nullptr},
      {"btn_com", "pnl_transmit", 5, 31, 92, 24, "Port wählen"},
      {"lbl_com", "pnl_transmit", 4, 8, -1, -1, "COM-Port:"},
      {"lbl_com_port", "pnl_transmit", 56, 8, 41, 13, "N/A"},
  };
  for (const auto& c : controls) {
    SCOPED_TRACE(c.name);
    auto* w = Get<QWidget>(c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(c.parent));
    EXPECT_EQ(w->pos(), QPoint(c.left, c.top));
    if (c.width >= 0) {
      EXPECT_EQ(w->size(), QSize(c.width, c.height));
    }
    if (c.text == nullptr) continue;
    QString text;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
    EXPECT_EQ(text, QString::fromUtf8(c.text));
  }
}

TEST_F(MainWindow, WindowIsFixedTitledAndDrawnWithItsFont) {
  Tgui_main& w = Window();
  EXPECT_EQ(w.objectName(), "gui_main");
  EXPECT_EQ(w.windowTitle(), "Korva Security");
  EXPECT_EQ(w.minimumSize(), QSize(348, 119));
  EXPECT_EQ(w.maximumSize(), QSize(348, 119));
  EXPECT_EQ(w.pos(), QPoint(192, 107));
  const Qt::WindowFlags f = w.windowFlags();
  EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(f & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(f & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(w.font().families().value(0), "MS Sans Serif");
  EXPECT_EQ(w.font().pixelSize(), 11);
  auto* port = Get<QLabel>("lbl_com_port");
  EXPECT_TRUE(port->font().bold());
  EXPECT_TRUE(port->alignment() & Qt::AlignRight);
  EXPECT_FALSE(w.windowIcon().isNull());
  EXPECT_EQ(Get<QFrame>("line_logo")->frameShape(), QFrame::HLine);
  EXPECT_EQ(Get<QListWidget>("lb_status")->frameShape(), QFrame::NoFrame);
  auto* timer = Timer();
  EXPECT_EQ(timer->interval(), 25);
  EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
  EXPECT_EQ(w.com_port().Name(), "com_port");
}

TEST_F(MainWindow, PortComponentCarriesTheWindowsSettings) {
  const dud::TDudComPort& p = Window().com_port();
  EXPECT_EQ(p.Baud(), 1200);
  EXPECT_EQ(p.DataBits(), 8);
  EXPECT_EQ(p.Parity(), dud::pNone);
  EXPECT_EQ(p.StopBits(), 1);
  EXPECT_FALSE(p.AutoOpen());
  EXPECT_EQ(p.BufferFull(), 3686);
  EXPECT_EQ(p.BufferResume(), 409);
  EXPECT_EQ(p.TraceName(), "RIZI.TRC");
  EXPECT_EQ(p.LogName(), "RIZI.LOG");
  EXPECT_TRUE(p.DTR());
  EXPECT_TRUE(p.RTS());
  EXPECT_TRUE(p.PromptForPort());
  EXPECT_TRUE(p.HWFlowOptions().Empty());
  EXPECT_EQ(p.SWFlowOptions(), dud::swfNone);
  EXPECT_FALSE(p.Open());
}

TEST_F(MainWindow, ArtworkHasItsSizes) {
  EXPECT_EQ(artwork::Logo().size(), QSize(350, 60));
  EXPECT_EQ(artwork::Logo().depth(), 24);
  EXPECT_EQ(Get<QLabel>("img_logo")->pixmap().size(), QSize(350, 60));
  const QImage emblem = artwork::Emblem();
  EXPECT_EQ(emblem.size(), QSize(16, 16));
  EXPECT_LE(emblem.colorCount(), 16);
  EXPECT_GT(emblem.colorCount(), 0);
  struct Glyph {
    const char* button;
    QSize size;
  } glyphs[] = {{"btn_next", {19, 19}},     {"btn_exit", {20, 20}}, {"btn_transmit", {21, 17}},
                {"btn_back", {19, 9}},      {"btn_com", {20, 8}}};
  for (const auto& g : glyphs) {
    SCOPED_TRACE(g.button);
    auto* b = Button(g.button);
    EXPECT_EQ(b->iconSize(), g.size);
    EXPECT_EQ(b->icon().pixmap(g.size).size(), g.size);
  }
  // Pictures, not empty canvases: some pixels of each differ from the first one.
  const QImage next = artwork::GlyphNext().toImage();
  bool varied = false;
  for (int y = 0; y < next.height() && !varied; ++y)
    for (int x = 0; x < next.width(); ++x) varied = varied || next.pixel(x, y) != next.pixel(0, 0);
  EXPECT_TRUE(varied);
}

// Walks the keyboard focus chain from first and lists the tab stops among names.
QStringList TabStops(QWidget* first, const QStringList& names) {
  QStringList order;
  QWidget* w = first;
  do {
    if ((w->focusPolicy() & Qt::TabFocus) && names.contains(w->objectName()) && !order.contains(w->objectName()))
      order << w->objectName();
    w = w->nextInFocusChain();
  } while (w != first);
  return order;
}

TEST_F(MainWindow, TabOrderOfEachPanel) {
  const QStringList config = {"edit_sysadr", "edit_seckey", "cb_seckey", "btn_next", "btn_exit"};
  const QStringList transmit = {"btn_transmit", "btn_back", "lb_status", "btn_com"};
  EXPECT_EQ(TabStops(Edit("edit_sysadr"), config), config);
  EXPECT_EQ(TabStops(Button("btn_transmit"), transmit), transmit);
}

TEST_F(MainWindow, StartState) {
  Window();
  EXPECT_TRUE(ConfigShowing());
  EXPECT_EQ(Edit("edit_sysadr")->displayText(), "00001");
  EXPECT_EQ(Edit("edit_sysadr")->Text(), "    1");
  EXPECT_EQ(Edit("edit_seckey")->displayText(), "00");
  EXPECT_EQ(Edit("edit_seckey")->Text(), "  ");
  EXPECT_FALSE(Edit("edit_seckey")->isEnabled());
  EXPECT_TRUE(Edit("edit_sysadr")->isEnabled());
  EXPECT_TRUE(Get<QCheckBox>("cb_seckey")->isChecked());
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(PortLabel(), "N/A");
  EXPECT_TRUE(Status().isEmpty());
  EXPECT_EQ(Window().com_port().ComNumber(), 0);
  EXPECT_FALSE(SettingsExist()) << "starting must not create the settings file";
}

TEST(MaskEdit, SetTextIsRightAlignedAndYieldsOneCharacterPerPosition) {
  struct Case {
    int positions;
    const char* set;
    const char* shown;
    const char* yielded;
  } cases[] = {
      {5, "001", "00001", "    1"},   {5, "", "00000", "     "},     {5, "12345", "12345", "12345"},
      {5, "12 3 ", "12030", "12 3 "}, {5, "10203", "10203", "1 2 3"}, {5, "99999", "99999", "99999"},
      {5, "123456", "12345", "12345"}, {5, "4", "00004", "    4"},     {5, "a1b", "00010", "   1 "},
      {2, "00", "00", "  "},          {2, " 5", "05", " 5"},          {2, "42", "42", "42"},
      {2, "", "00", "  "},            {2, "90", "90", "9 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.set) + " in " + std::to_string(c.positions));
    TMaskEdit e(c.positions);
    e.SetText(c.set);
    EXPECT_EQ(e.displayText(), QString::fromLatin1(c.shown));
    EXPECT_EQ(e.Text(), c.yielded);
    EXPECT_EQ(e.Text().size(), static_cast<size_t>(c.positions));
  }
}

TEST(MaskEdit, OnlyDigitsCanBeTypedAndEmptyPositionsShowZero) {
  struct Case {
    const char* typed;
    const char* shown;
    const char* yielded;
  } cases[] = {
      {"12a3", "12300", "123  "}, {"x-+ ", "00000", "     "}, {"987654", "98765", "98765"},
      {"10", "10000", "1    "},   {"0007", "00070", "   7 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    TMaskEdit e(5);
    e.SetText("");
    e.setCursorPosition(0);
    QTest::keyClicks(&e, QString::fromLatin1(c.typed));
    EXPECT_EQ(e.displayText(), QString::fromLatin1(c.shown));
    EXPECT_EQ(e.Text(), c.yielded);
  }
  TMaskEdit e(5);
  e.SetText("12345");
  e.setCursorPosition(5);
  QTest::keyClick(&e, Qt::Key_Backspace);
  QTest::keyClick(&e, Qt::Key_Backspace);
  EXPECT_EQ(e.displayText(), "12300");
  EXPECT_EQ(e.Text(), "123  ");
}

struct SettingsCase {
  const char* name;
  const char* content;  // nullptr: no file
  uint16_t port;
};
void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

class StartFromSettings : public WindowTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(StartFromSettings, SetsThePortNumber) {
  if (GetParam().content != nullptr) WriteSettings(GetParam().content);
  EXPECT_EQ(Window().com_port().ComNumber(), GetParam().port);
  EXPECT_FALSE(Window().com_port().Open());
  if (GetParam().content != nullptr) {
    EXPECT_EQ(dud::test::ReadFileBytes(dir_.File("settings.ini")), GetParam().content) << "reading never writes";
  } else {
    EXPECT_FALSE(SettingsExist());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartFromSettings,
    ::testing::Values(SettingsCase{"NoFile", nullptr, 0}, SettingsCase{"Decimal", "[com]\nport=3\n", 3},
                      SettingsCase{"CrLf", "[com]\r\nport=3\r\n", 3},
                      SettingsCase{"NamesInAnyCaseAndBlanks", "[COM]\nPort = 3\n", 3},
                      SettingsCase{"HexPrefix0x", "[com]\nport=0x3\n", 3},
                      SettingsCase{"HexDollar", "[com]\nport=$3\n", 3},
                      SettingsCase{"NotANumber", "[com]\nport=3x\n", 0},
                      SettingsCase{"Low16Bits", "[com]\nport=65539\n", 3},
                      SettingsCase{"SaveOff", "[com]\nsave=0\nport=3\n", 0},
                      SettingsCase{"SaveOn", "[com]\nsave=1\nport=4\n", 4},
                      SettingsCase{"SaveNegative", "[com]\nsave=-5\nport=4\n", 4},
                      SettingsCase{"SaveHex", "[com]\nsave=0x10\nport=4\n", 4},
                      SettingsCase{"SaveNotANumber", "[com]\nsave=ja\nport=4\n", 4},
                      SettingsCase{"OtherSection", "[other]\nport=4\n", 0},
                      SettingsCase{"NoKeys", "[com]\n", 0}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return std::string(info.param.name); });

TEST_F(MainWindow, KeyCheckBoxKeepsTheTypedKey) {
  auto* cb = Get<QCheckBox>("cb_seckey");
  auto* key = Edit("edit_seckey");
  cb->click();  // unchecked for the first time: nothing stored yet
  EXPECT_FALSE(cb->isChecked());
  EXPECT_TRUE(key->isEnabled());
  EXPECT_EQ(key->Text(), "  ");
  key->setCursorPosition(0);
  QTest::keyClicks(key, "42");
  EXPECT_EQ(key->Text(), "42");
  cb->click();  // checked: the key is kept aside, the field reads 00
  EXPECT_TRUE(cb->isChecked());
  EXPECT_FALSE(key->isEnabled());
  EXPECT_EQ(key->displayText(), "00");
  EXPECT_EQ(key->Text(), "  ");
  cb->click();  // unchecked again: the typed key is back
  EXPECT_TRUE(key->isEnabled());
  EXPECT_EQ(key->Text(), "42");
  key->SetText("07");
  cb->click();
  cb->click();
  EXPECT_EQ(key->Text(), " 7");
}

TEST_F(MainWindow, NextWithoutAPortAsksForOne) {
  ModalScript modals;
  Button("btn_next")->click();
  EXPECT_TRUE(modals.seen().empty()) << "no dialog and no message without a port";
  EXPECT_TRUE(TransmitShowing());
  EXPECT_EQ(Status(), QStringList{"Bitte COM-Port einstellen!"});
  EXPECT_EQ(StatusSelection(), 0);
  auto* lb = Get<QListWidget>("lb_status");
  EXPECT_EQ(lb->visualItemRect(lb->item(0)).height(), 13) << "three lines fit the list's 51 pixels";
  EXPECT_EQ(PortLabel(), "N/A");
  EXPECT_FALSE(Button("btn_transmit")->isEnabled());
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_FALSE(Window().com_port().Open());

  Button("btn_back")->click();
  EXPECT_TRUE(ConfigShowing());
  EXPECT_EQ(Status(), QStringList{"Bitte COM-Port einstellen!"}) << "Zurück leaves the status alone";
}

TEST_F(MainWindow, NextWithAMissingPortShowsTheErrorAndForgetsThePort) {
  WriteSettings("[com]\nport=7\n");
  ModalScript modals;
  modals.ThenOk();
  Button("btn_next")->click();
  ASSERT_EQ(modals.seen().size(), 1u);
  const SeenModal& box = modals.seen()[0];
  EXPECT_EQ(box.title, "Fehler");
  EXPECT_EQ(box.text, kOpenErrorText);
  EXPECT_EQ(box.icon, QMessageBox::Critical);
  EXPECT_EQ(box.buttons, 1);
  EXPECT_TRUE(TransmitShowing());
  EXPECT_EQ(Status(), QStringList{"Bitte COM-Port einstellen!"});
  EXPECT_EQ(PortLabel(), "N/A");
  EXPECT_EQ(Window().com_port().ComNumber(), 0);
  EXPECT_FALSE(Window().com_port().Open());
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_TRUE(Button("btn_transmit")->isEnabled()) << "this path leaves the transmit button alone";
  EXPECT_EQ(Settings(), "[com]\nport=7\n") << "the file keeps the stored port";

  // The next "Weiter" lands in "no port", without a message.
  Button("btn_back")->click();
  Button("btn_next")->click();
  EXPECT_EQ(modals.seen().size(), 1u);
  EXPECT_FALSE(Button("btn_transmit")->isEnabled());
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(MainWindow, TransmitAfterAFailedOpenIsShownByTheDefaultHandler) {
  WriteSettings("[com]\nport=7\n");
  ModalScript modals;
  modals.ThenOk();  // the open error
  modals.ThenOk();  // the exception of PutString
  Button("btn_next")->click();
  Button("btn_transmit")->click();
  ASSERT_EQ(modals.seen().size(), 2u);
  const SeenModal& box = modals.seen()[1];
  EXPECT_EQ(box.title, "Korva Security");
  EXPECT_EQ(box.text, "ie_NOpen - device not open");
  EXPECT_EQ(box.icon, QMessageBox::Critical);
  EXPECT_EQ(Status(), (QStringList{"Bitte COM-Port einstellen!", "Starte Übertragung", "SYSLO:1", "KEY:  139", "SYSHI:0",
                                   "CHK:  140"}));
  EXPECT_EQ(StatusSelection(), 5);
  EXPECT_FALSE(Button("btn_transmit")->isEnabled());
  EXPECT_FALSE(Timer()->isActive());
  // The window carries on.
  Button("btn_back")->click();
  EXPECT_TRUE(ConfigShowing());
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(MainWindow, ChoosingAPortAndCancellingShowsTheErrorAndWritesNothing) {
  ModalScript modals;
  modals.ThenAbortPortDialog();
  modals.ThenOk();
  Button("btn_next")->click();
  Button("btn_com")->click();
  ASSERT_EQ(modals.seen().size(), 2u);
  EXPECT_EQ(modals.seen()[1].title, "Fehler");
  EXPECT_EQ(modals.seen()[1].text, kOpenErrorText);
  EXPECT_EQ(Status(), QStringList{"Bitte COM-Port einstellen!"});
  EXPECT_EQ(PortLabel(), "N/A");
  EXPECT_FALSE(Button("btn_transmit")->isEnabled()) << "keeps its state";
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_FALSE(SettingsExist());
  EXPECT_EQ(modals.unexpected(), 0);
}

TEST_F(MainWindow, ExitClosesTheWindow) {
  Window().show();
  ASSERT_TRUE(Window().isVisible());
  Button("btn_exit")->click();
  EXPECT_FALSE(Window().isVisible());
}

TEST(ExceptionHandler, MessagesAreReadAsUtf8OrWindows1252) {
  struct Case {
    std::string bytes;
    QString text;
  } cases[] = {
      {"ie_NOpen - device not open", "ie_NOpen - device not open"},
      {"'x' ist kein g\xC3\xBCltiger Integerwert", QString::fromUtf8("'x' ist kein gültiger Integerwert")},
      {"'x' ist kein g\xFCltiger Integerwert", QString::fromUtf8("'x' ist kein gültiger Integerwert")},
      {"\x80 \x93Z\x94", QString::fromUtf8("€ “Z”")},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MessageText(c.bytes), c.text) << c.bytes;
}

TEST(ExceptionHandler, ShowsOneBoxAtATime) {
  ModalScript modals;
  modals.Then([](QWidget* w) {
    // A second exception while the first box is open must not stack a box.
    ShowApplicationException(std::runtime_error("zweite"));
    qobject_cast<QMessageBox*>(w)->button(QMessageBox::Ok)->click();
  });
  Guarded([] { throw std::runtime_error("erste"); });
  ASSERT_EQ(modals.seen().size(), 1u);
  EXPECT_EQ(modals.seen()[0].text, "erste");
  EXPECT_EQ(modals.seen()[0].title, "Korva Security");
  // Afterwards boxes appear again.
  modals.ThenOk();
  Guarded([] { throw std::runtime_error("dritte"); });
  ASSERT_EQ(modals.seen().size(), 2u);
  EXPECT_EQ(modals.seen()[1].text, "dritte");
}

TEST_F(MainWindow, ExceptionsOfWorkerThreadsAreShownOnTheWindowsThread) {
  Window();
  ModalScript modals;
  modals.ThenOk();
  std::thread worker([] { dud::ShowException(dud::Exception("Device read error")); });
  worker.join();
  EXPECT_TRUE(modals.seen().empty()) << "never shown from the worker itself";
  EXPECT_TRUE(SpinUntil([&] { return !modals.seen().empty(); }));
  ASSERT_EQ(modals.seen().size(), 1u);
  EXPECT_EQ(modals.seen()[0].title, "Korva Security");
  EXPECT_EQ(modals.seen()[0].text, "Device read error");
}

// A hidden window whose procedure counts what the pump delivered.
std::atomic<int> pumped_posts{0};
std::atomic<int> pumped_sends{0};
LRESULT CALLBACK CountingProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_USER + 1) {
    ++pumped_posts;
    return 0;
  }
  if (msg == WM_USER + 2) {
    ++pumped_sends;
    return 42;
  }
  return DefWindowProcA(h, msg, w, l);
}

TEST(WindowMessagePump, DeliversPostedAndSentMessagesFromQtsLoop) {
  TWindowMessagePump pump;
  WNDCLASSA wc{};
  wc.lpfnWndProc = CountingProc;
  wc.lpszClassName = "korvaPumpTest";
  RegisterClassA(&wc);
  HWND h = CreateWindowExA(0, "korvaPumpTest", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  constexpr int kPosts = 200;  // more than one wake's worth
  std::atomic<LRESULT> answer{0};
  std::thread other([&] {
    for (int i = 0; i < kPosts; ++i) PostMessageA(h, WM_USER + 1, 0, 0);
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(h, WM_USER + 2, 0, 0, SMTO_NORMAL, 5000, &result) != 0) answer = static_cast<LRESULT>(result);
  });
  EXPECT_TRUE(SpinUntil([&] { return pumped_posts.load() == kPosts && answer.load() == 42; }));
  other.join();
  EXPECT_EQ(pumped_posts.load(), kPosts);
  EXPECT_EQ(pumped_sends.load(), 1);
  DestroyWindow(h);
}

}  // namespace
}  // namespace korva::test
