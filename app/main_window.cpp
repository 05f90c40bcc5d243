#include "app/main_window.h"

#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include "app/artwork.h"
#include "app/exception_handler.h"
#include "app/mask_edit.h"
#include "app/settings_file.h"
#include "app/transfer_frame.h"
#include "app/window_message_pump.h"
#include "comport/com_select_form.h"

namespace {

QFont WindowFont(bool Bold = false) {
  QFont f;
  // The first family the system has wins; narrow ones first, so the texts fit
  // the fixed places of the controls.
  f.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
                 QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans Condensed"),
                 QStringLiteral("DejaVu Sans")});
  f.setPixelSize(11);
  f.setBold(Bold);
  return f;
}

template <class W>
W* Place(W* Widget, const char* Name, int Left, int Top, int Width = -1, int Height = -1) {
  Widget->setObjectName(QString::fromLatin1(Name));
  if (Width < 0) {
    Widget->adjustSize();
    Widget->move(Left, Top);
  } else {
    Widget->setGeometry(Left, Top, Width, Height);
  }
  return Widget;
}

QPushButton* GlyphButton(QWidget* Parent, const char* Text, const QPixmap& Glyph) {
  auto* b = new QPushButton(QIcon(Glyph), QString::fromUtf8(Text), Parent);
  b->setIconSize(Glyph.size());
  return b;
}

QString ComText(uint16_t Number) { return QStringLiteral("COM") + QString::number(Number); }

}  // namespace

Tgui_main::Tgui_main(QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      pump_(std::make_unique<TWindowMessagePump>()),
      com_port_(std::make_unique<dud::TDudComPort>()) {
  setObjectName(QStringLiteral("gui_main"));
  setWindowTitle(QString::fromUtf8(korva::ApplicationTitle));
  setWindowIcon(korva::artwork::WindowIcon());
  setFont(WindowFont());
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);
  setFixedSize(348, 119);
  move(192, 107);

  korva::InstallExceptionDisplay();
  dud::InstallComSelectDialog();

  // The port of the window: 1200 baud, opened only on request; the rest are the
  // component's defaults (8-N-1, no flow control, DTR and RTS on, asks for a port).
  com_port_->SetName("com_port");
  com_port_->SetBaud(1200);
  com_port_->SetAutoOpen(false);
  com_port_->SetBufferFull(3686);
  com_port_->SetBufferResume(409);
  com_port_->SetTraceName("RIZI.TRC");
  com_port_->SetLogName("RIZI.LOG");

  CreateControls();
  FormCreate();
}

Tgui_main::~Tgui_main() {
  com_timer->stop();
  // The component closes an open port; its waits keep handling this thread's
  // window messages themselves, so the pump may go after it.
  com_port_.reset();
}

void Tgui_main::CreateControls() {
  img_logo = Place(new QLabel(this), "img_logo", 0, 0, 348, 60);
  img_logo->setPixmap(korva::artwork::LogoPixmap());
  img_logo->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  line_logo = Place(new QFrame(this), "line_logo", 0, 60, 348, 2);
  line_logo->setFrameShape(QFrame::HLine);
  line_logo->setFrameShadow(QFrame::Sunken);

  // ---- configuration panel
  pnl_config = Place(new QWidget(this), "pnl_config", 0, 62, 348, 57);
  lbl_sysadr = Place(new QLabel(QStringLiteral("Systemadresse"), pnl_config), "lbl_sysadr", 8, 8);
  lbl_seckey = Place(new QLabel(QStringLiteral("Security Key"), pnl_config), "lbl_seckey", 8, 34);
  edit_sysadr = Place(new TMaskEdit(5, pnl_config), "edit_sysadr", 88, 6, 40, 21);
  edit_seckey = Place(new TMaskEdit(2, pnl_config), "edit_seckey", 88, 32, 40, 21);
  edit_seckey->setEnabled(false);
  for (TMaskEdit* e : {edit_sysadr, edit_seckey}) e->setTextMargins(0, 0, 0, 0);
  cb_seckey = Place(new QCheckBox(QStringLiteral("Ohne (Key = 0)"), pnl_config), "cb_seckey", 136, 34, 97, 17);
  cb_seckey->setChecked(true);
  btn_next = Place(GlyphButton(pnl_config, "Weiter", korva::artwork::GlyphNext()), "btn_next", 258, 4, 87, 24);
  btn_exit = Place(GlyphButton(pnl_config, "Beenden", korva::artwork::GlyphExit()), "btn_exit", 258, 31, 87, 24);

  // ---- transmit panel, in the same place, hidden at start
  pnl_transmit = Place(new QWidget(this), "pnl_transmit", 0, 62, 348, 57);
  pnl_transmit->hide();
  btn_transmit =
      Place(GlyphButton(pnl_transmit, "Übertragen", korva::artwork::GlyphTransmit()), "btn_transmit", 258, 4, 87, 24);
  btn_back = Place(GlyphButton(pnl_transmit, "Zurück", korva::artwork::GlyphBack()), "btn_back", 258, 31, 87, 24);
  lb_status = Place(new QListWidget(pnl_transmit), "lb_status", 104, 4, 148, 51);
  lb_status->setFrameShape(QFrame::NoFrame);
  lb_status->setUniformItemSizes(true);
  lb_status->setSpacing(0);
  lb_status->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  {
    QPalette pal = lb_status->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Button));
    lb_status->setPalette(pal);
  }
  btn_com = Place(GlyphButton(pnl_transmit, "Port wählen", korva::artwork::GlyphPort()), "btn_com", 5, 31, 92, 24);
  lbl_com = Place(new QLabel(QStringLiteral("COM-Port:"), pnl_transmit), "lbl_com", 4, 8);
  lbl_com_port = Place(new QLabel(QStringLiteral("N/A"), pnl_transmit), "lbl_com_port", 56, 8, 41, 13);
  lbl_com_port->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lbl_com_port->setFont(WindowFont(true));

  // Keyboard order within each panel; the hidden panel is skipped by Qt.
  QWidget::setTabOrder(edit_sysadr, edit_seckey);
  QWidget::setTabOrder(edit_seckey, cb_seckey);
  QWidget::setTabOrder(cb_seckey, btn_next);
  QWidget::setTabOrder(btn_next, btn_exit);
  QWidget::setTabOrder(btn_exit, btn_transmit);
  QWidget::setTabOrder(btn_transmit, btn_back);
  QWidget::setTabOrder(btn_back, lb_status);
  QWidget::setTabOrder(lb_status, btn_com);

  com_timer = new QTimer(this);
  com_timer->setObjectName(QStringLiteral("com_timer"));
  com_timer->setInterval(25);
  com_timer->setTimerType(Qt::PreciseTimer);
  connect(com_timer, &QTimer::timeout, this, [this] { korva::Guarded([this] { com_timerTimer(); }); });

  connect(cb_seckey, &QCheckBox::clicked, this, [this] { korva::Guarded([this] { cb_seckeyClick(); }); });
  ConnectHandler(btn_next, &Tgui_main::btn_nextClick);
  ConnectHandler(btn_exit, &Tgui_main::btn_exitClick);
  ConnectHandler(btn_transmit, &Tgui_main::btn_transmitClick);
  ConnectHandler(btn_back, &Tgui_main::btn_backClick);
  ConnectHandler(btn_com, &Tgui_main::btn_comClick);
}

void Tgui_main::ConnectHandler(QPushButton* Button, void (Tgui_main::*Handler)()) {
  connect(Button, &QPushButton::clicked, this, [this, Handler] { korva::Guarded([this, Handler] { (this->*Handler)(); }); });
}

void Tgui_main::FormCreate() {
  {
    const korva::SettingsFile ini(SettingsFileName);
    if (ini.ReadBool("com", "save", true))
      com_port_->SetComNumber(static_cast<uint16_t>(ini.ReadInteger("com", "port", 0)));  // low 16 bits
    else
      com_port_->SetComNumber(0);
  }
  edit_sysadr->SetText("001");
  edit_seckey->SetText("00");
}

void Tgui_main::cb_seckeyClick() {
  edit_seckey->setEnabled(!cb_seckey->isChecked());
  if (cb_seckey->isChecked()) {
    cb_seckey_hint_ = edit_seckey->Text();
    edit_seckey->SetText("00");
  } else {
    edit_seckey->SetText(cb_seckey_hint_);
  }
}

void Tgui_main::ShowNoPort() {
  lb_status->clear();
  lb_status_add(QStringLiteral("Bitte COM-Port einstellen!"));
  lbl_com_port->setText(QStringLiteral("N/A"));
}

void Tgui_main::ShowWaking() {
  lb_status_add(QString::fromUtf8("Empfänger einschalten."));
  lb_status_add(QStringLiteral("Leuchten die roten LEDs?"));
}

void Tgui_main::btn_nextClick() {
  pnl_config->hide();
  if (com_port_->ComNumber() == 0) {
    ShowNoPort();
    btn_transmit->setEnabled(false);
    SetTimerEnabled(false);
  } else {
    lb_status->clear();
    ShowWaking();
    btn_transmit->setEnabled(true);
    lbl_com_port->setText(ComText(com_port_->ComNumber()));
    bool failed = false;
    try {
      com_port_->SetOpen(true);
      SetTimerEnabled(true);
    } catch (...) {
      failed = true;
    }
    if (failed) {
      com_port_->SetOpen(false);
      SetTimerEnabled(false);
      com_port_->SetComNumber(0);
      ShowOpenError();
      ShowNoPort();
    }
  }
  pnl_transmit->show();
}

void Tgui_main::btn_backClick() {
  com_port_->SetOpen(false);
  pnl_transmit->hide();
  pnl_config->show();
}

void Tgui_main::btn_comClick() {
  bool failed = false;
  try {
    com_port_->SetComNumber(0);  // closes an open port and reopens it, asking for the number
    com_port_->SetOpen(true);
    korva::SettingsFile(SettingsFileName).WriteInteger("com", "port", com_port_->ComNumber());
    btn_transmit->setEnabled(true);
    lb_status->clear();
    lbl_com_port->setText(ComText(com_port_->ComNumber()));
    SetTimerEnabled(true);
    ShowWaking();
  } catch (...) {
    failed = true;
  }
  if (failed) {
    com_port_->SetOpen(false);
    SetTimerEnabled(false);
    ShowOpenError();
    ShowNoPort();
  }
}

void Tgui_main::btn_transmitClick() {
  SetTimerEnabled(false);
  btn_transmit->setEnabled(false);
  lb_status_add(QString::fromUtf8("Starte Übertragung"));
  const korva::TKeyFrame frame = korva::BuildKeyFrame(edit_sysadr->Text(), edit_seckey->Text());
  lb_status_add(QStringLiteral("SYSLO:") + QString::number(frame.SYSLO));
  lb_status_add(QStringLiteral("KEY:  ") + QString::number(frame.KEY));
  lb_status_add(QStringLiteral("SYSHI:") + QString::number(frame.SYSHI));
  lb_status_add(QStringLiteral("CHK:  ") + QString::number(frame.CHK));
  com_port_->PutString(frame.Bytes());
  lb_status_add(QString::fromUtf8("Übertragung beendet."));
  lb_status_add(QString::fromUtf8("Quittierungston gehört?"));
}

void Tgui_main::btn_exitClick() { close(); }

void Tgui_main::com_timerTimer() {
  if (com_port_->Open()) com_port_->PutChar('_');
}

void Tgui_main::lb_status_add(const QString& Text) {
  auto* item = new QListWidgetItem(Text, lb_status);
  item->setSizeHint(QSize(lb_status->width(), 13));
  lb_status->setCurrentRow(lb_status->count() - 1);
}

void Tgui_main::ShowOpenError() {
  // Line feed first, then carriage return, between the two lines.
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Fehler"),
                  QString::fromUtf8("Fehler beim Öffnen des COM-Ports.\n\rBitte COM-Port einstellen."),
                  QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("error_box"));
  box.adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    box.move(screen->availableGeometry().center() - box.rect().center());
  box.exec();
}

void Tgui_main::SetTimerEnabled(bool Enabled) {
  if (!Enabled)
    com_timer->stop();
  else if (!com_timer->isActive())
    com_timer->start();
}
