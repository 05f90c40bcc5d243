// A masked entry field for a fixed number of decimal digit positions.
//
// On screen every empty position shows the blank character "0", and only digits
// can be typed (the field overwrites position by position). The text the field
// yields has exactly one character per position: the digit, or a space for an
// empty position or one that holds 0, because the blank character and the digit 0
// look the same. Texts that are set are right-aligned: "001" in a field of five
// positions fills the last three.
//
// Threads: a Qt widget; the application's GUI thread only.
#pragma once

#include <QLineEdit>
#include <string>

class TMaskEdit : public QLineEdit {
  Q_OBJECT

 public:
  TMaskEdit(int Positions, QWidget* Parent = nullptr);

  int Positions() const { return positions_; }
  // One character per position: '1'..'9', or ' ' for an empty or zero position.
  std::string Text() const;
  // Puts Text right-aligned into the positions; anything but a digit (a space,
  // say) leaves its position empty. A longer text keeps its first characters.
  void SetText(const std::string& Text);

 private:
  int positions_;
};
