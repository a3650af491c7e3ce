#include "common/ui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>

namespace qv {

namespace {

QIcon Draw(const std::function<void(QPainter&)>& paint) {
  QIcon icon;
  for (int size : {16, 24, 32, 40, 48, 64, 128}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 40.0, size / 40.0);  // every icon is drawn on a 40 x 40 grid
    paint(p);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace

QIcon AppIcon() {
  return Draw([](QPainter& p) {
    // A globe caught in a magnifier.
    p.setPen(QPen(QColor(30, 90, 170), 2.2));
    p.setBrush(QColor(210, 230, 250));
    p.drawEllipse(QRectF(4, 4, 24, 24));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(11, 4, 10, 24));
    p.drawLine(QPointF(4, 16), QPointF(28, 16));
    p.setPen(QPen(QColor(200, 30, 30), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(26, 26), QPointF(36, 36));
  });
}

QIcon StartIcon() {
  return Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 160, 70));
    p.drawEllipse(QRectF(2, 2, 36, 36));
    QPainterPath tri;
    tri.moveTo(15, 10);
    tri.lineTo(30, 20);
    tri.lineTo(15, 30);
    tri.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(tri);
  });
}

QIcon StopIcon() {
  return Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 50, 40));
    p.drawEllipse(QRectF(2, 2, 36, 36));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(13, 13, 14, 14), 2, 2);
  });
}

QIcon SettingsIcon() {
  return Draw([](QPainter& p) {
    p.translate(20, 20);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 100, 115));
    for (int i = 0; i < 8; ++i) {
      p.drawRoundedRect(QRectF(-3.5, -18, 7, 10), 1.5, 1.5);
      p.rotate(45);
    }
    p.drawEllipse(QRectF(-12, -12, 24, 24));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(-5, -5, 10, 10));
  });
}

QIcon ExitIcon() {
  return Draw([](QPainter& p) {
    p.setPen(QPen(QColor(90, 100, 115), 3));
    p.setBrush(QColor(235, 238, 242));
    p.drawRect(QRectF(6, 4, 18, 32));
    p.setPen(QPen(QColor(200, 50, 40), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(16, 20), QPointF(35, 20));
    p.drawLine(QPointF(29, 14), QPointF(35, 20));
    p.drawLine(QPointF(29, 26), QPointF(35, 20));
  });
}

}  // namespace qv
