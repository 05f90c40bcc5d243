#include "app/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace korva::artwork {
namespace {

const QColor Navy(18, 42, 84);
const QColor Teal(22, 118, 134);
const QColor Gold(232, 178, 48);
const QColor DarkGold(150, 104, 20);

QPixmap Transparent(int w, int h) {
  QPixmap p(w, h);
  p.fill(Qt::transparent);
  return p;
}

// A key lying on its side: a ring at (x, y) with radius r and a shaft of length
// len to the right with two teeth.
void DrawKey(QPainter& p, qreal x, qreal y, qreal r, qreal len, const QColor& fill, const QColor& edge) {
  QPainterPath key;
  key.addEllipse(QPointF(x, y), r, r);
  const qreal shaft = r * 0.45;
  key.addRect(QRectF(x + r * 0.8, y - shaft / 2, len, shaft));
  key.addRect(QRectF(x + r * 0.8 + len * 0.62, y, shaft * 1.1, r * 0.75));
  key.addRect(QRectF(x + r * 0.8 + len * 0.86, y, shaft * 1.1, r * 0.95));
  key.setFillRule(Qt::WindingFill);
  QPainterPath hole;
  hole.addEllipse(QPointF(x, y), r * 0.42, r * 0.42);
  p.setPen(QPen(edge, std::max<qreal>(1.0, r * 0.12)));
  p.setBrush(fill);
  p.drawPath(key.simplified().subtracted(hole));
}

}  // namespace

QImage Logo() {
  QImage img(350, 60, QImage::Format_RGB888);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient bg(0, 0, 350, 60);
  bg.setColorAt(0, Navy);
  bg.setColorAt(1, Teal);
  p.fillRect(img.rect(), bg);
  // Faint waves: the signal that carries the key.
  p.setPen(QPen(QColor(255, 255, 255, 40), 2));
  p.setBrush(Qt::NoBrush);
  for (int i = 0; i < 4; ++i) p.drawArc(QRectF(300 - i * 14, 8 - i * 7, 28 + i * 28, 44 + i * 14), -50 * 16, 100 * 16);
  DrawKey(p, 30, 30, 14, 34, Gold, DarkGold);
  QFont title(QStringLiteral("DejaVu Sans"));
  title.setPixelSize(24);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRectF(98, 6, 250, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Korva Security"));
  QFont sub(QStringLiteral("DejaVu Sans"));
  sub.setPixelSize(11);
  p.setFont(sub);
  p.setPen(QColor(220, 232, 240));
  p.drawText(QRectF(100, 36, 250, 18), Qt::AlignLeft | Qt::AlignVCenter,
             QString::fromUtf8("Schlüsselübertragung zum Empfänger"));
  return img;
}

QPixmap LogoPixmap() { return QPixmap::fromImage(Logo()); }

QPixmap GlyphNext() {
  QPixmap px = Transparent(19, 19);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(20, 90, 30), 1));
  p.setBrush(QColor(60, 170, 70));
  p.drawPolygon(QPolygonF({{2, 6}, {10, 6}, {10, 1.5}, {17.5, 9.5}, {10, 17.5}, {10, 13}, {2, 13}}));
  return px;
}

QPixmap GlyphExit() {
  QPixmap px = Transparent(20, 20);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(120, 20, 20), 1));
  p.setBrush(QColor(200, 50, 45));
  p.drawEllipse(QRectF(1.5, 1.5, 17, 17));
  p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(6.5, 6.5), QPointF(13.5, 13.5));
  p.drawLine(QPointF(13.5, 6.5), QPointF(6.5, 13.5));
  return px;
}

QPixmap GlyphTransmit() {
  QPixmap px = Transparent(21, 17);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  DrawKey(p, 5, 8.5, 4, 7, Gold, DarkGold);
  p.setPen(QPen(Teal, 1.4));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(11, 4, 6, 9), -60 * 16, 120 * 16);
  p.drawArc(QRectF(11, 1, 9, 15), -60 * 16, 120 * 16);
  return px;
}

QPixmap GlyphBack() {
  QPixmap px = Transparent(19, 9);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(20, 50, 110), 1));
  p.setBrush(QColor(60, 110, 200));
  p.drawPolygon(QPolygonF({{1, 4.5}, {7, 0.5}, {7, 3}, {18, 3}, {18, 6}, {7, 6}, {7, 8.5}}));
  return px;
}

QPixmap GlyphPort() {
  QPixmap px = Transparent(20, 8);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  // A nine-pin plug seen from the front: a trapezoid with two rows of pins.
  p.setPen(QPen(QColor(60, 60, 60), 1));
  p.setBrush(QColor(170, 170, 175));
  p.drawPolygon(QPolygonF({{0.5, 0.5}, {19.5, 0.5}, {17, 7.5}, {3, 7.5}}));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 40, 40));
  for (int i = 0; i < 5; ++i) p.drawEllipse(QRectF(3.3 + i * 3, 2, 1.6, 1.6));
  for (int i = 0; i < 4; ++i) p.drawEllipse(QRectF(4.8 + i * 3, 4.6, 1.6, 1.6));
  return px;
}

QImage Emblem() {
  QImage img(16, 16, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  {
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Navy);
    p.drawRoundedRect(QRectF(0, 0, 16, 16), 3, 3);
    DrawKey(p, 4.5, 8, 3, 6.5, Gold, DarkGold);
  }
  // Sixteen colours: the emblem's own palette, transparency as one of them.
  QList<QRgb> colours = {qRgba(0, 0, 0, 0), Navy.rgb(), Teal.rgb(), Gold.rgb(), DarkGold.rgb(), qRgb(255, 255, 255),
                         qRgb(0, 0, 0), qRgb(60, 70, 100), qRgb(110, 100, 70), qRgb(190, 150, 50),
                         qRgb(90, 80, 60), qRgb(40, 60, 90), qRgb(210, 170, 60), qRgb(128, 128, 128),
                         qRgb(200, 200, 200), qRgb(250, 210, 110)};
  return img.convertToFormat(QImage::Format_Indexed8, colours, Qt::ThresholdDither | Qt::ThresholdAlphaDither);
}

QIcon WindowIcon() { return QIcon(QPixmap::fromImage(Emblem())); }

}  // namespace korva::artwork
