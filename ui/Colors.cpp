#include "ui/Colors.h"

#include <QGuiApplication>
#include <QPalette>
#include <QWidget>
#include <algorithm>

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
    constexpr float Step = 0.03F; // how far 0.97 sits below white
    if (!IsDark()) {
        return QColor::fromRgbF(1.0F - Step, 1.0F - Step, 1.0F - Step, 1.0F);
    }
    const QColor window = WindowBackground();
    const auto lighter = [](float channel) {
        return std::min(channel + Step, 1.0F);
    };
    return QColor::fromRgbF(lighter(window.redF()), lighter(window.greenF()),
                            lighter(window.blueF()), 1.0F);
}

void SetRoleColor(QWidget *widget, QPalette::ColorRole role, const QColor &color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Active, role, color);
    palette.setColor(QPalette::Inactive, role, color);
    // A disabled control must look it: its text fades toward what lies
    // behind it, on a light palette and a dark one alike.
    palette.setColor(QPalette::Disabled, role, Translucent(color, color.alphaF() * 0.4));
    widget->setPalette(palette);
}

} // namespace colors
