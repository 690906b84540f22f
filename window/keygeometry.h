#pragma once

#include <QRect>

namespace keyboard {

// Whether key `index` (0 = the leftmost C) is a black key.
bool isBlackKey(int index);

// The key's rectangle in twips, relative to the window. White keys overlap their
// right-hand neighbour by 15 twips, and black keys lie over the white ones.
QRect keyRectTwips(int index);

} // namespace keyboard
