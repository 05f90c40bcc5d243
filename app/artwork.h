// The application's pictures, drawn at run time: the logo, the button glyphs and
// the window icon. Nothing is loaded from files.
//
// Threads: GUI thread only, after the Qt application exists.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace korva::artwork {

// 350 x 60, 24 bits per pixel.
QImage Logo();
// The logo ready for a label.
QPixmap LogoPixmap();
// Button glyphs, with transparency, in the sizes of their buttons.
QPixmap GlyphNext();      // 19 x 19
QPixmap GlyphExit();      // 20 x 20
QPixmap GlyphTransmit();  // 21 x 17
QPixmap GlyphBack();      // 19 x 9
QPixmap GlyphPort();      // 20 x 8
// The emblem: 16 x 16 in 16 colours.
QImage Emblem();
QIcon WindowIcon();

}  // namespace korva::artwork
