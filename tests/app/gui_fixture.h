// Shared by the window's tests: one QApplication for the test program, a working
// folder of its own for every test (the window reads ./settings.ini), an empty
// ports directory (so no real serial device is ever seen), event-loop waits, and
// a script that answers the modal boxes and dialogs the window opens.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/mask_edit.h"
#include "pty_port.h"
#include "test_support.h"

// Qt is not built with ThreadSanitizer: the synchronisation inside its libraries
// (the thread pool its painting and image conversion use, among others) is
// invisible to it. Memory operations that Qt's own code makes are therefore left
// out; everything our code does is still checked.
extern "C" __attribute__((used)) const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }

namespace korva::test {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "korva_gui_test";
    static char* argv[] = {arg0, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const qt_environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the event loop for ms milliseconds.
inline void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs the event loop until done() holds; false after timeout_ms (a hang guard).
inline bool SpinUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Spin(5);
  }
  return true;
}

// What a modal window showed.
struct SeenModal {
  QString object_name;
  QString title;
  QString text;  // message boxes only
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;  // message boxes: number of buttons
  QStringList ports;  // the port dialog: the entries of its list
};

// Answers modal windows in the order they appear. Each answer gets the modal
// widget and closes it; a modal nobody expected is recorded and closed with OK /
// Cancel so that a test never hangs.
class ModalScript {
 public:
  using Answer = std::function<void(QWidget*)>;

  ModalScript() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }

  void Then(Answer a) { answers_.push_back(std::move(a)); }
  // A message box: press OK.
  void ThenOk() {
    Then([](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr) << "expected a message box, got " << w->metaObject()->className();
      box->button(QMessageBox::Ok)->click();
    });
  }
  // The port dialog: choose the entry "COM<n>" and press OK.
  void ThenChoosePort(int n) {
    Then([n](QWidget* w) {
      auto* combo = w->findChild<QComboBox*>(QStringLiteral("PortsComboBox"));
      ASSERT_NE(combo, nullptr) << "expected the port dialog";
      const int i = combo->findText(QStringLiteral("COM%1").arg(n));
      ASSERT_GE(i, 0) << "COM" << n << " is not offered";
      combo->setCurrentIndex(i);
      w->findChild<QPushButton*>(QStringLiteral("OkBtn"))->click();
    });
  }
  // The port dialog: press its "Cancel" button.
  void ThenAbortPortDialog() {
    Then([](QWidget* w) {
      auto* abort = w->findChild<QPushButton*>(QStringLiteral("AbortBtn"));
      ASSERT_NE(abort, nullptr) << "expected the port dialog";
      abort->click();
    });
  }

  const std::vector<SeenModal>& seen() const { return seen_; }
  size_t unanswered() const { return answers_.size(); }
  int unexpected() const { return unexpected_; }

 private:
  void Poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible() || handling_) return;
    handling_ = true;
    SeenModal s;
    s.object_name = w->objectName();
    s.title = w->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      s.text = box->text();
      s.icon = box->icon();
      s.buttons = static_cast<int>(box->buttons().size());
    }
    if (auto* combo = w->findChild<QComboBox*>(QStringLiteral("PortsComboBox")))
      for (int i = 0; i < combo->count(); ++i) s.ports << combo->itemText(i);
    seen_.push_back(s);
    QPointer<QWidget> guard(w);
    if (!answers_.empty()) {
      Answer a = std::move(answers_.front());
      answers_.pop_front();
      a(w);
    } else {
      ++unexpected_;
      ADD_FAILURE() << "unexpected modal " << s.title.toStdString() << ": " << s.text.toStdString();
    }
    if (guard && guard->isVisible()) Dismiss(guard);  // an answer that did not close it
    handling_ = false;
  }

  static void Dismiss(QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w))
      box->button(QMessageBox::Ok)->click();
    else if (auto* abort = w->findChild<QPushButton*>(QStringLiteral("AbortBtn")))
      abort->click();
    else
      w->close();
  }

  QTimer timer_;
  std::deque<Answer> answers_;
  std::vector<SeenModal> seen_;
  int unexpected_ = 0;
  bool handling_ = false;
};

inline const QString kOpenErrorText = QString::fromUtf8("Fehler beim Öffnen des COM-Ports.\n\rBitte COM-Port einstellen.");

// A test with its own working folder and an empty ports directory.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    std::filesystem::create_directory(dir_.File("ports"));
    const char* old = getenv("DUD_PORTS_DIR");
    if (old != nullptr) old_ports_ = old;
    setenv("DUD_PORTS_DIR", dir_.File("ports").c_str(), 1);
  }
  void TearDown() override {
    {
      // Closing the window closes its port; anything the stack reports on the
      // way arrives queued and must not reach the next test.
      ModalScript late;
      window_.reset();
      Spin(20);
    }
    ports_.clear();
    std::filesystem::current_path(old_cwd_);
    if (old_ports_)
      setenv("DUD_PORTS_DIR", old_ports_->c_str(), 1);
    else
      unsetenv("DUD_PORTS_DIR");
  }

  void WriteSettings(const std::string& content) { ASSERT_TRUE(dud::test::WriteFileBytes(dir_.File("settings.ini"), content)); }
  // The settings file with its line ends as "\n" (the profile functions write CR LF).
  std::string Settings() const {
    std::string s = dud::test::ReadFileBytes(dir_.File("settings.ini"));
    std::erase(s, '\r');
    return s;
  }
  bool SettingsExist() const { return std::filesystem::exists(dir_.File("settings.ini")); }

  // A pseudo-terminal linked as COM<n>; it lives until the window is gone.
  dud::test::PtyPort& Port(int n) { return *ports_.emplace_back(std::make_unique<dud::test::PtyPort>(n)); }

  Tgui_main& Window() {
    if (!window_) window_ = std::make_unique<Tgui_main>();
    return *window_;
  }
  template <class T>
  T* Get(const char* name) {
    T* w = Window().findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QPushButton* Button(const char* name) { return Get<QPushButton>(name); }
  TMaskEdit* Edit(const char* name) { return Get<TMaskEdit>(name); }
  QWidget* Panel(const char* name) { return Get<QWidget>(name); }
  QTimer* Timer() { return Get<QTimer>("com_timer"); }
  QString PortLabel() { return Get<QLabel>("lbl_com_port")->text(); }
  QStringList Status() {
    QStringList lines;
    auto* lb = Get<QListWidget>("lb_status");
    for (int i = 0; i < lb->count(); ++i) lines << lb->item(i)->text();
    return lines;
  }
  int StatusSelection() { return Get<QListWidget>("lb_status")->currentRow(); }
  bool ConfigShowing() { return Panel("pnl_config")->isVisibleTo(&Window()) && !Panel("pnl_transmit")->isVisibleTo(&Window()); }
  bool TransmitShowing() { return Panel("pnl_transmit")->isVisibleTo(&Window()) && !Panel("pnl_config")->isVisibleTo(&Window()); }

  dud::test::ScopedTempDir dir_;
  std::unique_ptr<Tgui_main> window_;
  std::vector<std::unique_ptr<dud::test::PtyPort>> ports_;

 private:
  std::filesystem::path old_cwd_;
  std::optional<std::string> old_ports_;
};

}  // namespace korva::test
