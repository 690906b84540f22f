// Renders an SVG drawing at build time with Qt's SVG renderer, the one the Linux window
// draws it with: into a square PNG (the icon theme's fixed-size icons, the Windows program's
// artwork), or into a Windows icon holding one PNG image for each of several sizes.
// Usage: tirrel_svgtopng IN.svg SIZE OUT.png
//        tirrel_svgtopng IN.svg SIZE,SIZE,... OUT.ico

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QList>
#include <QPainter>
#include <QSvgRenderer>
#include <QtEndian>

#include <cstdio>

namespace {

QByteArray renderPng(QSvgRenderer &renderer, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

void appendLe(QByteArray &bytes, quint16 value)
{
    const quint16 le = qToLittleEndian(value);
    bytes.append(reinterpret_cast<const char *>(&le), sizeof le);
}

void appendLe(QByteArray &bytes, quint32 value)
{
    const quint32 le = qToLittleEndian(value);
    bytes.append(reinterpret_cast<const char *>(&le), sizeof le);
}

// An icon file whose images are PNG streams, which Windows reads from Vista on: a header, a
// 16-byte entry per image (its size, 0 meaning 256; 32 bits per pixel; its offset and length),
// then the images.
QByteArray icon(const QList<int> &sizes, const QList<QByteArray> &pngs)
{
    QByteArray bytes;
    appendLe(bytes, quint16(0));
    appendLe(bytes, quint16(1));
    appendLe(bytes, quint16(sizes.size()));
    quint32 offset = quint32(6 + 16 * sizes.size());
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        bytes.append(char(sizes[i] % 256));
        bytes.append(char(sizes[i] % 256));
        bytes.append(2, '\0');
        appendLe(bytes, quint16(1));
        appendLe(bytes, quint16(32));
        appendLe(bytes, quint32(pngs[i].size()));
        appendLe(bytes, offset);
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray &png : pngs)
        bytes += png;
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    // No application object: drawing shapes into an image needs no platform plugin, so the
    // tool runs on a build machine without a display. (Text in the drawing would need fonts,
    // and with them a QGuiApplication.)
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s IN.svg SIZE OUT.png\n       %s IN.svg SIZE,SIZE,... OUT.ico\n", argv[0], argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[3]);
    const bool ico = out.endsWith(QLatin1String(".ico"), Qt::CaseInsensitive);
    QList<int> sizes;
    for (const QString &field : QString::fromLocal8Bit(argv[2]).split(u',')) {
        bool sizeOk = false;
        const int size = field.toInt(&sizeOk);
        // An icon's entry holds sizes up to 256.
        if (!sizeOk || size < 1 || size > (ico ? 256 : 1024)) {
            std::fprintf(stderr, "%s: each SIZE must be 1 to %d pixels, not '%s'\n", argv[0], ico ? 256 : 1024,
                         qPrintable(field));
            return 2;
        }
        sizes << size;
    }
    if (!ico && sizes.size() != 1) {
        std::fprintf(stderr, "%s: a PNG takes one SIZE; several make an .ico\n", argv[0]);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "%s: cannot read the drawing %s\n", argv[0], argv[1]);
        return 1;
    }
    QList<QByteArray> pngs;
    for (const int size : sizes)
        pngs << renderPng(renderer, size);
    QFile file(out);
    const QByteArray bytes = ico ? icon(sizes, pngs) : pngs.front();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[3]);
        return 1;
    }
    return 0;
}
