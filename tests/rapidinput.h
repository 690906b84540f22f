#pragma once

// Rapid pointer input for the rapid-input test and benchmark: a fixed-seed path of moves over
// the window, queued in the event loop and delivered as the window system's moves are (the
// window's grab and hit-testing included), and a count of the moves that arrived.

#include "pianokey.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

namespace rapidinput {

inline constexpr int kMoves = 10000;
inline constexpr quint32 kSeed = 20240607;

// The button goes down here, on key 12 (C), away from any overlap.
inline constexpr QPoint kPress(128, 150);

// Window pixels: the keys cover rows 92..160, the black ones down to row 132, and columns
// 8..616; the mute pad covers rows 68..88 and columns 16..608; the window is 623 x 163.
inline constexpr int kKeysLeft = 8;
inline constexpr int kKeysRight = 616;
inline constexpr int kKeysTop = 94;
inline constexpr int kKeysBottom = 158;
inline constexpr int kWhiteRowTop = 136;  // below the black keys
inline constexpr int kWhiteStep = 16;     // one white key to the next
inline constexpr int kPadTop = 70;
inline constexpr int kPadBottom = 86;
inline constexpr int kPadLeft = 20;
inline constexpr int kPadRight = 604;

// The path after the press: long glides over many keys in steps of 1 to 8 pixels, jitter within
// one key, passes over the mute pad, and trips out of the window and back; exactly `moves`
// positions, each different from the one before, as a pointer reports them (Qt drops a move to
// where the pointer already is).
inline std::vector<QPoint> pointerPath(quint32 seed = kSeed, int moves = kMoves)
{
    QRandomGenerator rng(seed);
    std::vector<QPoint> path;
    QPoint at = kPress;
    const auto moveTo = [&](QPoint pos) {
        if (pos != (path.empty() ? kPress : path.back()))
            path.push_back(pos);
    };
    const auto glideTo = [&](QPoint target) {
        const int step = 1 + rng.bounded(8);
        const QPoint delta = target - at;
        const int steps = std::max(1, std::max(std::abs(delta.x()), std::abs(delta.y())) / step);
        for (int i = 1; i <= steps; ++i)
            moveTo(at + delta * i / steps);
        at = target;
    };
    const auto between = [&](int low, int high) { return low + rng.bounded(high - low + 1); };

    while (int(path.size()) < moves) {
        switch (rng.bounded(4)) {
        case 0:  // a long glide across the keyboard, black keys and white
            glideTo({between(kKeysLeft, kKeysRight), between(kKeysTop, kKeysBottom)});
            break;
        case 1: {  // jitter within one white key, below the black keys
            const QPoint centre(kKeysLeft + kWhiteStep / 2 + kWhiteStep * rng.bounded(38),
                                between(kWhiteRowTop + 4, kKeysBottom - 4));
            glideTo(centre);
            for (int i = between(20, 80); i > 0; --i)
                moveTo(centre + QPoint(between(-3, 3), between(-3, 3)));
            at = path.back();
            break;
        }
        case 2:  // up over the mute pad, along it, and back down onto the keys
            glideTo({at.x(), between(kPadTop, kPadBottom)});
            glideTo({between(kPadLeft, kPadRight), between(kPadTop, kPadBottom)});
            glideTo({at.x(), between(kKeysTop, kKeysBottom)});
            break;
        case 3: {  // out of the window on one side, about out there, and back onto a key
            const std::array<QPoint, 4> outside = {QPoint(between(-60, -5), between(0, 162)),
                                                   QPoint(between(630, 700), between(0, 162)),
                                                   QPoint(between(0, 622), between(-60, -5)),
                                                   QPoint(between(0, 622), between(170, 230))};
            glideTo(outside[rng.bounded(4)]);
            for (int i = between(3, 20); i > 0; --i)
                moveTo(at + QPoint(between(-10, 10), between(-10, 10)));
            at = path.back();
            glideTo({between(kKeysLeft, kKeysRight), between(kKeysTop, kKeysBottom)});
            break;
        }
        }
    }
    path.resize(moves);
    return path;
}

// Delivers one move with the left button held, at once, through the entry the window
// system's moves take (the one QTest's QWindow overloads use): QGuiApplication updates the
// cursor and button state, and the widget window hands the move to the widget holding the
// implicit grab.
inline void deliverMove(QWindow *window, QPoint pos)
{
    const QPointF local(pos);
    qt_handleMouseEvent(window, local, window->mapToGlobal(local), Qt::LeftButton, Qt::NoButton, QEvent::MouseMove,
                        Qt::NoModifier, ++QTest::lastMouseTimestamp);
}

// Queues one move, to be delivered as deliverMove does when the event loop reaches it. A
// QMouseEvent posted to the window would not do: Qt 6.4 keeps the newest mouse event's point
// shared with the pointing device's state, and the events made while the queue is worked off
// change it (the last move posted arrived at the press position).
inline void queueMove(QWindow *window, QPoint pos)
{
    QMetaObject::invokeMethod(window, [window, pos] { deliverMove(window, pos); }, Qt::QueuedConnection);
}

// Counts the moves that reach `window` and the moves that reach any key.
class MoveCounter : public QObject
{
public:
    explicit MoveCounter(QWindow *window) : window_(window) { QCoreApplication::instance()->installEventFilter(this); }
    ~MoveCounter() override { QCoreApplication::instance()->removeEventFilter(this); }

    int atWindow = 0;
    int atKeys = 0;

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override
    {
        if (event->type() == QEvent::MouseMove) {
            if (receiver == window_)
                ++atWindow;
            else if (qobject_cast<PianoKey *>(receiver))
                ++atKeys;
        }
        return false;
    }

private:
    QWindow *window_;
};

} // namespace rapidinput
