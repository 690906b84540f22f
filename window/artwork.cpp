#include "artwork.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#ifdef TIRREL_ARTWORK_RENDERED
#include <QFileInfo>
#else
#include <QSvgRenderer>
#endif

// Resources in a static library are not registered until someone asks.
#ifdef TIRREL_ARTWORK_RENDERED
static void initArtwork() { Q_INIT_RESOURCE(artwork_rendered); }
#else
static void initArtwork() { Q_INIT_RESOURCE(artwork); }
#endif

namespace {

constexpr int kSize = 32;

#ifdef TIRREL_ARTWORK_RENDERED

// Where Qt Svg is not at hand (the Windows build) each drawing comes as the images the build
// rendered of it with the Linux program's renderer, at the two scales that program draws it
// at, so both look the same to the pixel: NAME.svg is NAME-32.png and NAME-64.png beside it.
// Other scales take the larger image, smoothly scaled.
QPixmap render(const QString &resource, qreal devicePixelRatio)
{
    initArtwork();
    const QFileInfo drawing(resource);
    const int pixels = qRound(kSize * devicePixelRatio);
    const int rendered = pixels > kSize ? 2 * kSize : kSize;
    QPixmap pixmap(QStringLiteral("%1/%2-%3.png").arg(drawing.path(), drawing.completeBaseName()).arg(rendered));
    if (pixmap.width() != pixels)
        pixmap = pixmap.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

#else

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

#endif

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
