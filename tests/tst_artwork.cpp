// The window icon and the link's pointing hand look the same to the pixel wherever the
// program runs: on Linux they are drawn from SVG at run time, on Windows loaded from images
// the build rendered of the same drawings. Both are compared here with images the build
// renders, once premultiplied as the screen takes them.

#include "artwork.h"

#include <QApplication>
#include <QTest>

class TestArtwork : public QObject
{
    Q_OBJECT

private slots:
    void sameAsRendered_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<qreal>("scale");
        QTest::newRow("icon at scale 1") << QStringLiteral("tirrel-32") << 1.0;
        QTest::newRow("icon at scale 2") << QStringLiteral("tirrel-64") << 2.0;
        // The cursor takes the screen's scale, 1 on the offscreen platform.
        QTest::newRow("hand at the screen's scale") << QStringLiteral("hand-32") << 0.0;
    }

    void sameAsRendered()
    {
        QFETCH(QString, image);
        QFETCH(qreal, scale);

        const QString path = QStringLiteral(TIRREL_ARTWORK_DIR "/%1.png").arg(image);
        const QImage rendered(path);
        QVERIFY2(!rendered.isNull(), qPrintable(path));
        const QPixmap shown = scale > 0 ? programIcon().pixmap(QSize(32, 32), scale) : handCursor().pixmap();
        QImage drawn = shown.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        // Pixels are compared; the scale is the icon's business.
        drawn.setDevicePixelRatio(1.0);
        QCOMPARE(drawn.size(), rendered.size());
        QCOMPARE(drawn, rendered.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
};

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
