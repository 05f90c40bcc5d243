// The window against hostile input: a settings.ini of junk, of 10 MB, with a line
// of 100 000 characters, a folder or a link to an endless device in its place; and
// the two entry fields fed every key of the keyboard, with and without modifiers,
// and every byte as typed text. The window starts with the right port (0 where
// the value is no number), and the fields hold digits only, one per position.
#include <sys/stat.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaEnum>
#include <QTest>
#include <filesystem>
#include <random>

#include "gui_fixture.h"

namespace korva::test {
namespace {

using HostileInput = WindowTest;

TEST_F(HostileInput, StartFromAHostileSettingsFileTakesOnlyANumber) {
  std::mt19937 random(99);
  std::string junk(256 * 1024, '\0');
  for (char& c : junk) c = static_cast<char>(random() & 0xFF);
  std::string ten_mb;
  while (ten_mb.size() < 10 * 1024 * 1024) ten_mb += "; a comment line that fills the file to ten megabytes......\r\n";
  const std::string settings = dir_.File("settings.ini");

  struct Case {
    const char* what;
    std::function<void()> make;
    uint16_t port;
  } cases[] = {
      {"binary junk", [&] { WriteSettings(junk); }, 0},
      {"junk around a good entry", [&] { WriteSettings(junk + "\n[com]\nport=65539\n" + junk); }, 3},
      {"10 MB before the entry", [&] { WriteSettings(ten_mb + "[com]\r\nport=5\r\n"); }, 5},
      {"100 000 digits", [&] { WriteSettings("[com]\nport=" + std::string(100000, '9') + "\n"); }, 0},
      {"100 000 letters", [&] { WriteSettings("[com]\nport=" + std::string(100000, 'x') + "\n"); }, 0},
      {"a folder", [&] { std::filesystem::create_directory(settings); }, 0},
      {"a link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", settings); }, 0},
      {"a link to a pipe", [&] {
         ASSERT_EQ(mkfifo(dir_.File("pipe").c_str(), 0600), 0);
         std::filesystem::create_symlink(dir_.File("pipe"), settings);
       }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(settings);
    std::filesystem::remove(dir_.File("pipe"));
    c.make();
    window_.reset();
    EXPECT_EQ(Window().com_port().ComNumber(), c.port);
    EXPECT_EQ(Edit("edit_sysadr")->Text(), "    1");
    EXPECT_EQ(Edit("edit_seckey")->Text(), "  ");
  }
}

// Presses and releases Key with Modifiers, carrying Text, as a keyboard would.
// (QTest's own key clicks refuse keys it has no character for.)
void SendKey(QWidget* w, int key, Qt::KeyboardModifiers modifiers, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QCoreApplication::sendEvent(w, &press);
  QCoreApplication::sendEvent(w, &release);
}

// The text a key produces: its Latin-1 character, upper case with Shift, the
// control character with Ctrl; nothing for keys without a character.
QString KeyText(int key, Qt::KeyboardModifiers m) {
  if (key < 0x20 || key > 0xFF) return {};
  if ((m & Qt::ControlModifier) && key >= 'A' && key <= 'Z') return QString(QChar(key - 0x40));
  QChar c(key);
  return QString(m & Qt::ShiftModifier ? c.toUpper() : c.toLower());
}

// Only digits and the blank position: the text shown and the text yielded.
void ExpectDigitsOnly(TMaskEdit* e, const std::string& after) {
  const std::string yielded = e->Text();
  ASSERT_EQ(yielded.size(), static_cast<size_t>(e->Positions())) << after;
  for (char c : yielded) ASSERT_TRUE(c == ' ' || (c >= '1' && c <= '9')) << after << ": yielded \"" << yielded << '"';
  const QString shown = e->displayText();
  ASSERT_EQ(shown.size(), e->Positions()) << after;
  for (QChar c : shown) ASSERT_TRUE(c >= QLatin1Char('0') && c <= QLatin1Char('9')) << after << ": shows " << shown.toStdString();
  for (QChar c : e->text()) ASSERT_TRUE(c.isDigit() && c.unicode() < 0x80) << after << ": holds " << e->text().toStdString();
}

TEST_F(HostileInput, EveryKeyWithEveryModifierLeavesDigitsOnly) {
  Window().show();
  Get<QCheckBox>("cb_seckey")->click();  // unchecked: the key field takes input
  ASSERT_TRUE(Edit("edit_seckey")->isEnabled());
  // Whatever a paste brings must not get in either.
  QGuiApplication::clipboard()->setText(QString::fromUtf8("1a\xC3\xA4 2-3\t4\n5"));

  const QMetaEnum keys = QMetaEnum::fromType<Qt::Key>();
  const Qt::KeyboardModifiers modifiers[] = {
      Qt::NoModifier,      Qt::ShiftModifier,   Qt::ControlModifier, Qt::AltModifier, Qt::MetaModifier,
      Qt::KeypadModifier,  Qt::ShiftModifier | Qt::ControlModifier,  Qt::ControlModifier | Qt::AltModifier,
  };
  for (const char* name : {"edit_sysadr", "edit_seckey"}) {
    SCOPED_TRACE(name);
    TMaskEdit* e = Edit(name);
    e->setFocus();
    e->SetText("12");
    int events = 0;
    for (const Qt::KeyboardModifiers m : modifiers) {
      for (int i = 0; i < keys.keyCount(); ++i) {
        const auto key = static_cast<Qt::Key>(keys.value(i));
        SendKey(e, key, m, KeyText(key, m));
        ++events;
        ExpectDigitsOnly(e, std::string(keys.key(i)) + " with modifiers " + std::to_string(m.toInt()));
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_GT(events, 3000);
  }
}

TEST_F(HostileInput, EveryByteAsTypedTextEntersOnlyWhenADigit) {
  Window().show();
  Get<QCheckBox>("cb_seckey")->click();
  for (const char* name : {"edit_sysadr", "edit_seckey"}) {
    SCOPED_TRACE(name);
    TMaskEdit* e = Edit(name);
    const std::string empty(static_cast<size_t>(e->Positions()), ' ');
    for (int b = 0; b < 256; ++b) {
      e->clear();
      e->setCursorPosition(0);
      const char c = static_cast<char>(b);
      // A key event that carries only its text, as an input method or a foreign
      // keyboard layout delivers it; the byte read as Latin-1 (and as a raw UTF-8
      // byte, which arrives as the replacement character).
      for (const QString& text : {QString::fromLatin1(&c, 1), QString::fromUtf8(&c, 1)}) {
        e->clear();
        e->setCursorPosition(0);
        SendKey(e, Qt::Key_unknown, Qt::NoModifier, text);
        std::string expected = empty;
        if (c >= '1' && c <= '9') expected[0] = c;  // a 0 reads as a blank position
        ASSERT_EQ(e->Text(), expected) << "byte " << b;
        ExpectDigitsOnly(e, "byte " + std::to_string(b));
        if (c >= '1' && c <= '9') {
          EXPECT_EQ(e->text(), QString(QLatin1Char(c))) << "byte " << b;
        }
      }
    }
    // Typed one after another, the digits fill the positions from the left.
    e->clear();
    e->setCursorPosition(0);
    for (int b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      const int key = b >= 0x20 && b <= 0x7E ? static_cast<int>(QChar::toUpper(static_cast<char32_t>(b)))
                                             : static_cast<int>(Qt::Key_unknown);
      SendKey(e, key, Qt::NoModifier, QString::fromLatin1(&c, 1));
    }
    ExpectDigitsOnly(e, "all bytes typed");
    // "0" lands first and reads as a blank, then "1", "2", ... until the positions are full.
    EXPECT_EQ(e->Text(), " " + std::string("123456789").substr(0, static_cast<size_t>(e->Positions()) - 1));
  }
}

}  // namespace
}  // namespace korva::test
