#pragma once

#include <QRect>

// Positions and sizes are laid out in twips; at 96 dpi fifteen of them make a pixel,
// and Qt's device-pixel ratio scales the pixels for denser screens.
inline constexpr int kTwipsPerPixel = 15;

constexpr int twips(int value) { return value / kTwipsPerPixel; }

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}
