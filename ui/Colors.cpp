#include "ui/Colors.h"

#include <QGuiApplication>
#include <QPalette>
#include <QWidget>

namespace {

QColor Translucent(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

bool IsDark() {
    return QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
}

} // namespace

namespace colors {

QColor WindowBackground() {
    return QGuiApplication::palette().color(QPalette::Window);
}

QColor Label() {
    return QGuiApplication::palette().color(QPalette::WindowText);
}

QColor SecondaryLabel() {
    return Translucent(Label(), 0.5);
}

QColor TertiaryLabel() {
    return Translucent(Label(), 0.26);
}

QColor Separator() {
    return Translucent(Label(), 0.1);
}

QColor ControlText() {
    return QGuiApplication::palette().color(QPalette::ButtonText);
}

QColor SystemBlue() {
    return IsDark() ? QColor(10, 132, 255) : QColor(0, 122, 255);
}

QColor TargetPanelFill() {
    return QColor::fromRgbF(0.97F, 0.97F, 0.97F, 1.0F);
}

void SetForeground(QWidget *widget, QPalette::ColorRole role, const QColor &color) {
    QPalette palette = widget->palette();
    palette.setColor(role, color);
    widget->setPalette(palette);
}

} // namespace colors
