#include "app/mask_edit.h"

#include <QRegularExpression>
#include <QRegularExpressionValidator>

TMaskEdit::TMaskEdit(int Positions, QWidget* Parent) : QLineEdit(Parent), positions_(Positions) {
  // '0' in a mask admits one optional digit; after the ';' comes the blank character.
  setInputMask(QString(Positions, QLatin1Char('0')) + QStringLiteral(";0"));
  setMaxLength(Positions);
  // The mask's '0' takes any Unicode number, so superscripts and fractions of the
  // Latin-1 range would get in as well: only the ASCII digits may stand.
  setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));
}

std::string TMaskEdit::Text() const {
  // displayText() keeps every position; text() would drop the blanks and with
  // them the places of the digits.
  const QString shown = displayText();
  std::string out(static_cast<size_t>(positions_), ' ');
  for (int i = 0; i < positions_ && i < shown.size(); ++i) {
    const QChar c = shown.at(i);
    if (c >= QLatin1Char('1') && c <= QLatin1Char('9')) out[static_cast<size_t>(i)] = static_cast<char>(c.unicode());
  }
  return out;
}

void TMaskEdit::SetText(const std::string& Text) {
  std::string cut = Text.substr(0, static_cast<size_t>(positions_));
  std::string full(static_cast<size_t>(positions_) - cut.size(), '0');
  for (char c : cut) full += (c >= '0' && c <= '9') ? c : '0';
  setText(QString::fromLatin1(full));
}
