#include "keygeometry.h"

namespace keyboard {

namespace {
constexpr int kTop = 1380;
constexpr int kFirstWhiteLeft = 120;
constexpr int kWhiteStep = 240;
constexpr int kWhiteWidth = 255;
constexpr int kWhiteHeight = 1035;
constexpr int kBlackWidth = 135;
constexpr int kBlackHeight = 615;
constexpr int kBlackOffset = 60;  // a black key starts this far left of the white key to its right

// How many white keys lie left of key `index`.
int whiteKeysBefore(int index)
{
    int count = 0;
    for (int i = 0; i < index; ++i)
        count += isBlackKey(i) ? 0 : 1;
    return count;
}
} // namespace

bool isBlackKey(int index)
{
    switch (index % 12) {
    case 1: case 3: case 6: case 8: case 10: return true;
    default: return false;
    }
}

QRect keyRectTwips(int index)
{
    const int whiteLeft = kFirstWhiteLeft + kWhiteStep * whiteKeysBefore(index);
    if (isBlackKey(index))
        return QRect(whiteLeft - kBlackOffset, kTop, kBlackWidth, kBlackHeight);
    return QRect(whiteLeft, kTop, kWhiteWidth, kWhiteHeight);
}

} // namespace keyboard
