// The main window of Korva Security: two panels on one small fixed window lead
// the operator from entering the receiver's system address and key to opening
// the port, waking the receiver with "_" every 25 ms and sending the key frame.
//
// The controls carry their names as Qt object names (edit_sysadr, btn_next,
// lb_status, ...), the window itself is "gui_main".
//
// Threads: a Qt widget; every handler, the port component it owns and the
// component's notifications run on the GUI thread. No locks.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "comport/com_port.h"

class QCheckBox;
class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;
class TMaskEdit;
class TWindowMessagePump;

class Tgui_main : public QWidget {
  Q_OBJECT

 public:
  // The settings file, relative to the working directory.
  static constexpr const char* SettingsFileName = "./settings.ini";

  // Builds the window and runs FormCreate (reads the settings file).
  explicit Tgui_main(QWidget* Parent = nullptr);
  ~Tgui_main() override;

  dud::TDudComPort& com_port() const { return *com_port_; }

 private:
  void CreateControls();
  void ConnectHandler(QPushButton* Button, void (Tgui_main::*Handler)());

  void FormCreate();
  void cb_seckeyClick();
  void btn_nextClick();
  void btn_backClick();
  void btn_comClick();
  void btn_transmitClick();
  void btn_exitClick();
  void com_timerTimer();
  // Appends Text as the last line of lb_status and selects it.
  void lb_status_add(const QString& Text);

  // The box that answers a failed port open.
  void ShowOpenError();
  // Enabling a running timer leaves its rhythm alone.
  void SetTimerEnabled(bool Enabled);
  void ShowNoPort();
  void ShowWaking();

  QLabel* img_logo;
  QFrame* line_logo;
  QWidget* pnl_config;
  QLabel* lbl_sysadr;
  QLabel* lbl_seckey;
  TMaskEdit* edit_sysadr;
  TMaskEdit* edit_seckey;
  QCheckBox* cb_seckey;
  QPushButton* btn_next;
  QPushButton* btn_exit;
  QWidget* pnl_transmit;
  QPushButton* btn_transmit;
  QPushButton* btn_back;
  QListWidget* lb_status;
  QPushButton* btn_com;
  QLabel* lbl_com;
  QLabel* lbl_com_port;
  QTimer* com_timer;

  // The key text kept while "Ohne (Key = 0)" is checked (the check box's hint,
  // which is never shown).
  std::string cb_seckey_hint_;

  std::unique_ptr<TWindowMessagePump> pump_;
  std::unique_ptr<dud::TDudComPort> com_port_;
};
