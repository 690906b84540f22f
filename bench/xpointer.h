#pragma once

#include <QPoint>
#include <QString>

#include <chrono>
#include <cstdint>

struct _XDisplay;

namespace bench {

// The pointer of an X server, moved and pressed through the XTest extension from this
// process, so a press costs no program start-up of its own; and the top-level windows
// that get mapped, seen as they appear.
class XPointer
{
public:
    XPointer() = default;
    ~XPointer();
    XPointer(const XPointer &) = delete;
    XPointer &operator=(const XPointer &) = delete;

    // Connects to $DISPLAY and starts noting windows as they are mapped.
    bool open(QString *error);
    // Forgets the windows mapped so far.
    void forgetWindows();
    // The first top-level window mapped since the last forgetWindows() whose title contains
    // `title`, waiting up to `timeout`; 0 if none. `mappedNs` gets when its map was seen.
    unsigned long waitForWindow(const QString &title, std::chrono::milliseconds timeout, std::int64_t *mappedNs);
    // The window's top-left corner on the screen.
    QPoint origin(unsigned long window);

    // Returns the time just before the request left for the server; returns once the server has handled it.
    std::int64_t moveTo(QPoint screenPos);
    // Returns the time just before the request left for the server; returns once the server has handled it.
    std::int64_t press();
    void release();
    void click(QPoint screenPos);

private:
    QString titleOf(unsigned long window);

    _XDisplay *display_ = nullptr;
};

} // namespace bench
