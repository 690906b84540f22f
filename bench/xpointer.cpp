#include "xpointer.h"

#include "precisetimer.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>

#include <poll.h>

namespace bench {

XPointer::~XPointer()
{
    if (display_ != nullptr)
        XCloseDisplay(display_);
}

bool XPointer::open(QString *error)
{
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) {
        if (error != nullptr)
            *error = QStringLiteral("cannot open display %1").arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    int event = 0, err = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &err, &major, &minor)) {
        if (error != nullptr)
            *error = QStringLiteral("the X server has no XTest extension");
        return false;
    }
    // Top-level windows are children of the root: without a window manager their maps
    // reach whoever listens to the root's substructure.
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
    return true;
}

void XPointer::forgetWindows()
{
    XSync(display_, False);
    XEvent event;
    while (XPending(display_) > 0)
        XNextEvent(display_, &event);
}

QString XPointer::titleOf(unsigned long window)
{
    const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    const Atom netName = XInternAtom(display_, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    QString title;
    if (XGetWindowProperty(display_, window, netName, 0, 1024, False, utf8, &type, &format, &items, &after, &data)
            == Success
        && data != nullptr) {
        title = QString::fromUtf8(reinterpret_cast<const char *>(data), int(items));
        XFree(data);
    }
    char *name = nullptr;
    if (title.isEmpty() && XFetchName(display_, window, &name) && name != nullptr) {
        title = QString::fromLocal8Bit(name);
        XFree(name);
    }
    return title;
}

unsigned long XPointer::waitForWindow(const QString &title, std::chrono::milliseconds timeout, std::int64_t *mappedNs)
{
    const std::int64_t deadline = song::steadyNow() + std::chrono::nanoseconds(timeout).count();
    while (true) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type != MapNotify)
                continue;
            const std::int64_t seen = song::steadyNow();
            if (titleOf(event.xmap.window).contains(title)) {
                if (mappedNs != nullptr)
                    *mappedNs = seen;
                return event.xmap.window;
            }
        }
        const std::int64_t left = deadline - song::steadyNow();
        if (left <= 0)
            return 0;
        pollfd fd{ConnectionNumber(display_), POLLIN, 0};
        ::poll(&fd, 1, int(std::min<std::int64_t>(left / 1000000 + 1, 100)));
    }
}

QPoint XPointer::origin(unsigned long window)
{
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y};
}

std::int64_t XPointer::moveTo(QPoint screenPos)
{
    const std::int64_t sent = song::steadyNow();
    XTestFakeMotionEvent(display_, -1, screenPos.x(), screenPos.y(), CurrentTime);
    XSync(display_, False);
    return sent;
}

std::int64_t XPointer::press()
{
    const std::int64_t sent = song::steadyNow();
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XSync(display_, False);
    return sent;
}

void XPointer::release()
{
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XSync(display_, False);
}

void XPointer::click(QPoint screenPos)
{
    moveTo(screenPos);
    press();
    release();
}

} // namespace bench
