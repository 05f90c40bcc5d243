// The "Select Port" dialog in Qt Widgets, laid out in pixels as designed.
#include "comport/com_select_form.h"

#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QString>
#include <string>

#include "comport/com_port.h"
#include "comport/port_probe.h"
#include "errors/convert.h"
#include "errors/exceptions.h"

namespace dud {

TComSelectForm::TComSelectForm(QWidget* Owner) : QDialog(Owner) {
  setObjectName("ComSelectForm");
  setWindowTitle("Select Port");
  // A dialog border: fixed size, close button only.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(220, 131);
  QFont Font("MS Sans Serif");
  Font.setPixelSize(11);
  setFont(Font);
  QPalette Palette = palette();
  Palette.setColor(QPalette::WindowText, Qt::black);
  Palette.setColor(QPalette::ButtonText, Qt::black);
  Palette.setColor(QPalette::Text, Qt::black);
  setPalette(Palette);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameShape(QFrame::Panel);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 201, 42);

  Label1 = new QLabel("The configured serial port is not valid.", this);
  Label1->setObjectName("Label1");
  Label1->move(18, 14);
  Label1->adjustSize();
  Label2 = new QLabel("Please choose another port.", this);
  Label2->setObjectName("Label2");
  Label2->move(18, 30);
  Label2->adjustSize();

  PortsComboBox = new QComboBox(this);
  PortsComboBox->setObjectName("PortsComboBox");
  PortsComboBox->setEditable(false);
  PortsComboBox->setGeometry(8, 64, 201, 21);

  OkBtn = new QPushButton("OK", this);
  OkBtn->setObjectName("OkBtn");
  OkBtn->setGeometry(8, 95, 85, 27);
  OkBtn->setDefault(true);
  connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });

  AbortBtn = new QPushButton("Cancel", this);
  AbortBtn->setObjectName("AbortBtn");
  AbortBtn->setGeometry(124, 95, 85, 27);
  connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

  setTabOrder(OkBtn, AbortBtn);
  setTabOrder(AbortBtn, PortsComboBox);
  OkBtn->setFocus();

  if (QScreen* Screen = QGuiApplication::primaryScreen()) {
    QRect Frame(QPoint(0, 0), size());
    Frame.moveCenter(Screen->availableGeometry().center());
    move(Frame.topLeft());
  }

  FormCreate();
}

void TComSelectForm::FormCreate() {
  for (uint16_t N = FirstSelectablePort; N <= LastSelectablePort; ++N)
    if (IsPortAvailable(N)) PortsComboBox->addItem(QString("COM%1").arg(N));
  PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);
}

uint16_t TComSelectForm::SelectedPort() const {
  const std::string Text = PortsComboBox->currentText().mid(3, 255).toStdString();
  return static_cast<uint16_t>(StrToInt(Text));
}

void TComSelectForm::keyPressEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_Escape) {
    Event->accept();
    return;
  }
  QDialog::keyPressEvent(Event);
}

void TComSelectForm::reject() { done(mrCancel); }

bool ShowComSelectDialog(uint16_t& ComNumber) {
  TComSelectForm Form(QApplication::activeWindow());
  if (Form.exec() != TComSelectForm::mrOk) return false;
  ComNumber = Form.SelectedPort();
  return true;
}

void InstallComSelectDialog() { SetPortPrompt(ShowComSelectDialog); }

}  // namespace dud
