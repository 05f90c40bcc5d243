// The "Select Port" dialog: lists the serial ports COM1 .. COM50 that exist and
// lets the operator choose one. The port component shows it (through the prompt
// that InstallComSelectDialog installs) when it is to open without a port number.
//
// Threads: a Qt widget; the application's GUI thread only.
#pragma once

#include <QDialog>
#include <cstdint>

class QComboBox;
class QFrame;
class QKeyEvent;
class QLabel;
class QPushButton;

namespace dud {

class TComSelectForm : public QDialog {
  Q_OBJECT

 public:
  // Results of exec(): only mrOk is a choice.
  static constexpr int mrOk = 1;      // OkBtn
  static constexpr int mrCancel = 2;  // the window's close button
  static constexpr int mrAbort = 3;   // AbortBtn ("Cancel")

  // Builds the dialog and fills the list (FormCreate): this probes every port.
  explicit TComSelectForm(QWidget* Owner = nullptr);

  // The number in the selected entry's text from its fourth character on ("COM12"
  // gives 12). Raises dud::Exception "'<text>' ist kein gültiger Integerwert"
  // (Windows-1252) when that text is no decimal number, as with an empty list.
  uint16_t SelectedPort() const;

 protected:
  // Escape is not bound: no button of this dialog is its cancel button.
  void keyPressEvent(QKeyEvent* Event) override;
  // The window's close button ends the dialog with mrCancel.
  void reject() override;

 private:
  void FormCreate();

  QFrame* Bevel1;
  QLabel* Label1;
  QLabel* Label2;
  QComboBox* PortsComboBox;
  QPushButton* OkBtn;
  QPushButton* AbortBtn;
};

// Shows the dialog modally over the active window. True with the chosen number
// after OK; false after "Cancel" or the close button. Raises what SelectedPort raises.
bool ShowComSelectDialog(uint16_t& ComNumber);

// Makes ShowComSelectDialog the prompt of every port component (SetPortPrompt).
void InstallComSelectDialog();

}  // namespace dud
