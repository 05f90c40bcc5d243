// Korva Security: sends a system address and a security key to a receiver over
// a serial line.
#include "app/exception_handler.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
  korva::TKorvaApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korva-security"));
  QApplication::setApplicationDisplayName(QString::fromUtf8(korva::ApplicationTitle));
  Tgui_main gui_main;
  gui_main.show();
  return QApplication::exec();
}
