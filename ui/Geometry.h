#pragma once
// The window's layout is given with the origin at the bottom-left and y
// growing upwards; Qt's origin is the top-left. One conversion for all frames.

#include <QRect>

inline constexpr int ContentWidth = 760;
inline constexpr int ContentHeight = 520;

// The Qt geometry of an element whose bottom-left corner is (x, y).
constexpr QRect ContentFrame(int x, int y, int width, int height) {
    return QRect(x, ContentHeight - y - height, width, height);
}
