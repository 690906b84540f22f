#include "artwork.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// Resources in a static library are not registered until someone asks.
static void initArtwork() { Q_INIT_RESOURCE(artwork); }

namespace {

constexpr int kSize = 32;

QPixmap render(const QString &resource, qreal devicePixelRatio)
{
    initArtwork();
    QPixmap pixmap(QSize(kSize, kSize) * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace

QIcon programIcon()
{
    QIcon icon;
    icon.addPixmap(render(QStringLiteral(":/icons/tirrel.svg"), 1.0));
    icon.addPixmap(render(QStringLiteral(":/icons/tirrel.svg"), 2.0));
    return icon;
}

QCursor handCursor()
{
    // The hot spot is the fingertip, in the drawing's own 32 × 32 pixels.
    return QCursor(render(QStringLiteral(":/icons/hand.svg"), qApp->devicePixelRatio()), 12, 1);
}
