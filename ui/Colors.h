#pragma once
// The colour roles the window is painted with, defined once. Roles Qt's
// palette has are taken from it; the label shades without a palette role are
// the documented translucent variants of the text colour.

#include <QColor>
#include <QPalette>

class QWidget;

namespace colors {

QColor WindowBackground();
QColor Label();
QColor SecondaryLabel(); // text colour at 50 %
QColor TertiaryLabel();  // text colour at 26 %
QColor Separator();      // text colour at 10 %
QColor ControlText();
QColor SystemBlue(); // the system accent blue, lighter on a dark palette
// Fixed grey of white level 0.97 on a light palette; on a dark one the
// window background lightened by the same step, so labels on it stay legible.
QColor TargetPanelFill();

// Gives widget the colour for role, faded while it is disabled, leaving its
// other roles to the palette.
void SetRoleColor(QWidget *widget, QPalette::ColorRole role, const QColor &color);

} // namespace colors
