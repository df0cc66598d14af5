#include "ui/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace ct {

namespace {

QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    // The cloud: three overlapping circles on a flat base.
    QPainterPath cloud;
    cloud.addEllipse(QRectF(3, 11, 12, 12));
    cloud.addEllipse(QRectF(9, 5, 15, 15));
    cloud.addEllipse(QRectF(18, 11, 12, 12));
    cloud.addRoundedRect(QRectF(6, 15, 21, 10), 4, 4);
    cloud.setFillRule(Qt::WindingFill);
    QLinearGradient sky(0, 5, 0, 25);
    sky.setColorAt(0, QColor(120, 190, 250));
    sky.setColorAt(1, QColor(30, 110, 200));
    p.setPen(QPen(QColor(20, 70, 140), 1.2));
    p.setBrush(sky);
    p.drawPath(cloud.simplified());

    // The arrow: a transfer going up into the cloud.
    QPainterPath arrow;
    arrow.moveTo(16, 9);
    arrow.lineTo(22, 16);
    arrow.lineTo(18.5, 16);
    arrow.lineTo(18.5, 29);
    arrow.lineTo(13.5, 29);
    arrow.lineTo(13.5, 16);
    arrow.lineTo(10, 16);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(20, 90, 20), 1.0));
    p.setBrush(QColor(90, 200, 70));
    p.drawPath(arrow);
    return pixmap;
}

} // namespace

QIcon MakeAppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 256})
        icon.addPixmap(DrawIcon(size));
    return icon;
}

} // namespace ct
