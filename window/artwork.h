#pragma once

#include <QCursor>
#include <QIcon>

// The window icon and the link's pointing hand, drawn as SVG and rendered at 32 × 32.
QIcon programIcon();
QCursor handCursor();
