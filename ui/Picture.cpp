#include "ui/Picture.h"

#include <QPainter>
#include <QSvgRenderer>

QPixmap DogPixmap(const QSize &size, qreal devicePixelRatio, const QString &resource) {
    QSvgRenderer renderer(resource);
    if (!renderer.isValid()) {
        return {};
    }
    QSizeF picture = renderer.defaultSize();
    picture.scale(QSizeF(size), Qt::KeepAspectRatio);
    QPixmap pixmap((picture * devicePixelRatio).toSize());
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), picture));
    return pixmap;
}

QIcon DogIcon() {
    QIcon icon;
    for (const int side : {16, 32, 48, 64, 128, 256}) {
        const QPixmap pixmap = DogPixmap(QSize(side, side), 1.0);
        if (!pixmap.isNull()) {
            icon.addPixmap(pixmap);
        }
    }
    return icon;
}
