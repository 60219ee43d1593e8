#pragma once
// The application's picture "dog", compiled into the binary: rendered for the
// window's header and as the window icon. A missing resource gives a null
// pixmap and an empty icon, never an error.

#include <QIcon>
#include <QPixmap>
#include <QString>

inline const QString DogResource = QStringLiteral(":/images/dog.svg");

// The picture scaled proportionally into size (device-independent pixels).
QPixmap DogPixmap(const QSize &size, qreal devicePixelRatio, const QString &resource = DogResource);

QIcon DogIcon();
