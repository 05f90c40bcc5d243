// The "Select Port" dialog, offscreen: its controls, the ports it lists, its
// results, and the port component asking through it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>

#include "comport/com_port.h"
#include "comport/com_select_form.h"
#include "comport/port_probe.h"
#include "errors/error_codes.h"
#include "platform/win32.h"
#include "pty_port.h"

namespace dud {
namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int Argc = 1;
    static char Name[] = "com_select_gui_test";
    static char* Argv[] = {Name, nullptr};
    App = std::make_unique<QApplication>(Argc, Argv);
  }
  void TearDown() override { App.reset(); }

 private:
  std::unique_ptr<QApplication> App;
};
[[maybe_unused]] ::testing::Environment* const QtEnv = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs Action on the dialog once its modal loop runs.
void WhenShown(std::function<void(TComSelectForm*)> Action) {
  QTimer::singleShot(0, [Action = std::move(Action)] {
    auto* Form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
    ASSERT_NE(Form, nullptr);
    Action(Form);
  });
}

template <class T>
T* Child(QWidget* Form, const char* Name) {
  T* W = Form->findChild<T*>(Name);
  EXPECT_NE(W, nullptr) << Name;
  return W;
}

// The next widget that Tab moves to (labels and frames take no focus).
QWidget* NextTabStop(QWidget* W) {
  QWidget* Next = W->nextInFocusChain();
  while (Next != W && (Next->focusPolicy() & Qt::TabFocus) == 0) Next = Next->nextInFocusChain();
  return Next;
}

HANDLE Hold(const test::PtyPort& Pty) {
  return CreateFileA(Pty.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

TEST(ComSelectForm, ControlsTextsAndPlaces) {
  test::PtyPort Pty(2);
  TComSelectForm Form;
  EXPECT_EQ(Form.windowTitle(), "Select Port");
  EXPECT_EQ(Form.size(), QSize(220, 131));
  auto* Label1 = Child<QLabel>(&Form, "Label1");
  auto* Label2 = Child<QLabel>(&Form, "Label2");
  auto* Bevel = Child<QFrame>(&Form, "Bevel1");
  auto* Combo = Child<QComboBox>(&Form, "PortsComboBox");
  auto* Ok = Child<QPushButton>(&Form, "OkBtn");
  auto* Abort = Child<QPushButton>(&Form, "AbortBtn");
  ASSERT_TRUE(Label1 && Label2 && Bevel && Combo && Ok && Abort);
  EXPECT_EQ(Label1->text(), "The configured serial port is not valid.");
  EXPECT_EQ(Label1->pos(), QPoint(18, 14));
  EXPECT_EQ(Label2->text(), "Please choose another port.");
  EXPECT_EQ(Label2->pos(), QPoint(18, 30));
  EXPECT_EQ(Bevel->geometry(), QRect(8, 8, 201, 42));
  EXPECT_EQ(Combo->geometry(), QRect(8, 64, 201, 21));
  EXPECT_FALSE(Combo->isEditable());
  EXPECT_EQ(Ok->text(), "OK");
  EXPECT_EQ(Ok->geometry(), QRect(8, 95, 85, 27));
  EXPECT_TRUE(Ok->isDefault());
  EXPECT_EQ(Abort->text(), "Cancel");
  EXPECT_EQ(Abort->geometry(), QRect(124, 95, 85, 27));
  EXPECT_FALSE(Abort->isDefault());
  // Tab order: OK, Cancel, the list.
  EXPECT_EQ(NextTabStop(Ok), Abort);
  EXPECT_EQ(NextTabStop(Abort), Combo);
  EXPECT_EQ(NextTabStop(Combo), Ok);
}

TEST(ComSelectForm, ListsFreeAndHeldPortsInOrderUpToFifty) {
  test::PtyPort P12(12), P3(3), P7(7), P51(51);
  HANDLE Holder = Hold(P7);
  ASSERT_NE(Holder, INVALID_HANDLE_VALUE);
  TComSelectForm Form;
  auto* Combo = Child<QComboBox>(&Form, "PortsComboBox");
  ASSERT_NE(Combo, nullptr);
  ASSERT_EQ(Combo->count(), 3);
  EXPECT_EQ(Combo->itemText(0), "COM3");
  EXPECT_EQ(Combo->itemText(1), "COM7");  // held by another program: listed all the same
  EXPECT_EQ(Combo->itemText(2), "COM12");
  EXPECT_EQ(Combo->currentIndex(), 0);
  EXPECT_EQ(Form.SelectedPort(), 3);
  // The number comes from the entry's text, not its position.
  Combo->setCurrentIndex(2);
  EXPECT_EQ(Form.SelectedPort(), 12);
  CloseHandle(Holder);
  // The probe closed every port again.
  HANDLE Again = Hold(P12);
  EXPECT_NE(Again, INVALID_HANDLE_VALUE);
  CloseHandle(Again);
}

TEST(ComSelectForm, AvailabilityTest) {
  test::PtyPort P4(4);
  EXPECT_FALSE(IsPortAvailable(0));
  EXPECT_TRUE(IsPortAvailable(4));
  EXPECT_FALSE(IsPortAvailable(5));
  HANDLE Holder = Hold(P4);
  EXPECT_TRUE(IsPortAvailable(4));
  CloseHandle(Holder);
  EXPECT_EQ(ComDeviceName(12), "\\\\.\\COM12");
  EXPECT_EQ(AvailablePorts(), std::vector<uint16_t>{4});
}

TEST(ComSelectForm, EmptyListGivesNoNumber) {
  test::PtyPort P60(60);  // outside the offered range
  TComSelectForm Form;
  auto* Combo = Child<QComboBox>(&Form, "PortsComboBox");
  ASSERT_NE(Combo, nullptr);
  EXPECT_EQ(Combo->count(), 0);
  EXPECT_EQ(Combo->currentIndex(), -1);
  try {
    Form.SelectedPort();
    FAIL() << "no exception";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "'' ist kein g\xC3\xBCltiger Integerwert");
  }
}

TEST(ComSelectForm, ResultsOfTheButtonsAndKeys) {
  test::PtyPort P3(3);
  struct Case {
    const char* Name;
    std::function<void(TComSelectForm*)> Action;
    int Result;
  };
  const Case Cases[] = {
      {"OK button", [](TComSelectForm* F) { F->findChild<QPushButton*>("OkBtn")->click(); }, 1},
      {"Cancel button", [](TComSelectForm* F) { F->findChild<QPushButton*>("AbortBtn")->click(); }, 3},
      {"close button", [](TComSelectForm* F) { F->close(); }, 2},
      {"Enter chooses at once",
       [](TComSelectForm* F) {
         QKeyEvent Enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
         QApplication::sendEvent(F, &Enter);
       },
       1},
      {"Escape is not bound",
       [](TComSelectForm* F) {
         QKeyEvent Escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QApplication::sendEvent(F, &Escape);
         EXPECT_TRUE(F->isVisible());
         F->findChild<QPushButton*>("AbortBtn")->click();
       },
       3},
  };
  for (const Case& C : Cases) {
    TComSelectForm Form;
    WhenShown(C.Action);
    EXPECT_EQ(Form.exec(), C.Result) << C.Name;
  }
}

TEST(ComSelectForm, ComponentOpensThePortChosenInTheDialog) {
  test::PtyPort P3(3), P12(12);
  InstallComSelectDialog();
  TDudComPort Port;
  WhenShown([](TComSelectForm* F) {
    F->findChild<QComboBox*>("PortsComboBox")->setCurrentIndex(1);
    F->findChild<QPushButton*>("OkBtn")->click();
  });
  Port.SetOpen(true);
  EXPECT_EQ(Port.ComNumber(), 12);
  EXPECT_TRUE(Port.Open());
  Port.PutChar('_');
  EXPECT_EQ(P12.ReadMaster(1), "_");
  Port.SetOpen(false);

  // Cancelled: no port selected, nothing changed.
  TDudComPort Other;
  WhenShown([](TComSelectForm* F) { F->findChild<QPushButton*>("AbortBtn")->click(); });
  try {
    Other.SetOpen(true);
    FAIL() << "no exception";
  } catch (const ENoPortSelected& E) {
    EXPECT_EQ(E.ErrorCode(), ecNoPortSelected);
  }
  EXPECT_EQ(Other.ComNumber(), 0);
  EXPECT_FALSE(Other.Open());
  SetPortPrompt(nullptr);
}

}  // namespace
}  // namespace dud
