// The application's default exception handler: an exception that leaves a
// handler of the window (a click, a timer tick, a window message) is shown in a
// message box with its text, and the window carries on.
//
// Every slot of the window runs its work through Guarded; TKorvaApplication's
// notify catches whatever still escapes an event; exceptions caught on the
// stack's worker threads are posted here through the stack's exception display.
// All three end in ShowApplicationException.
//
// Threads: ShowApplicationException and Guarded on the GUI thread only; the
// display installed by InstallExceptionDisplay may be called from any thread.
#pragma once

#include <QApplication>
#include <QString>
#include <exception>
#include <string>

namespace korva {

// The application's title: caption of the main window and of the handler's box.
inline constexpr const char* ApplicationTitle = "Korva Security";

// A message of an exception as text for the screen: our own texts are UTF-8,
// the stack's are Windows-1252 (plain ASCII for the most part).
QString MessageText(const std::string& Bytes);

// Shows E's message in an error box titled with the application's title and
// waits for OK. While such a box is open, further exceptions are written to
// stderr instead of stacking boxes (a failing timer raises 40 times a second).
void ShowApplicationException(const std::exception& E);
void ShowApplicationException(const QString& Message);

// Runs Work and hands any exception to ShowApplicationException.
template <class F>
void Guarded(F&& Work) {
  try {
    Work();
  } catch (const std::exception& E) {
    ShowApplicationException(E);
  } catch (...) {
    ShowApplicationException(QStringLiteral("Unbekannte Ausnahme"));
  }
}

// Routes the stack's exception display (worker threads, the component's event
// dispatch) to ShowApplicationException on the GUI thread. Needs a Qt application.
void InstallExceptionDisplay();

// The program's application object: the last place that catches an exception
// escaping an event handler.
class TKorvaApplication : public QApplication {
 public:
  TKorvaApplication(int& Argc, char** Argv);
  bool notify(QObject* Receiver, QEvent* Event) override;
};

}  // namespace korva
