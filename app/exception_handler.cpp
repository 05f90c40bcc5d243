#include "app/exception_handler.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QStringDecoder>
#include <cstdio>

#include "dispatch/dispatcher_thread.h"

namespace korva {
namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

bool box_showing = false;  // GUI thread only

}  // namespace

QString MessageText(const std::string& Bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
  if (!utf8.hasError()) return text;
  text.clear();
  for (unsigned char c : Bytes) text += (c >= 0x80 && c < 0xA0) ? QChar(Cp1252High[c - 0x80]) : QChar(c);
  return text;
}

void ShowApplicationException(const QString& Message) {
  if (box_showing) {
    std::fprintf(stderr, "%s\n", Message.toLocal8Bit().constData());
    return;
  }
  box_showing = true;
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(ApplicationTitle), Message, QMessageBox::Ok);
  box.setObjectName(QStringLiteral("exception_box"));
  box.exec();
  box_showing = false;
}

void ShowApplicationException(const std::exception& E) { ShowApplicationException(MessageText(E.what())); }

void InstallExceptionDisplay() {
  dud::SetExceptionDisplay([](const std::exception& E) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
      std::fprintf(stderr, "%s\n", E.what());
      return;
    }
    const QString message = MessageText(E.what());
    // Queued, also on the GUI thread: the box's modal loop must not run inside
    // the stack's own code.
    QMetaObject::invokeMethod(app, [message] { ShowApplicationException(message); }, Qt::QueuedConnection);
  });
}

TKorvaApplication::TKorvaApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

bool TKorvaApplication::notify(QObject* Receiver, QEvent* Event) {
  bool handled = false;
  Guarded([&] { handled = QApplication::notify(Receiver, Event); });
  return handled;
}

}  // namespace korva
