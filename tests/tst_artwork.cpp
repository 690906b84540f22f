// What the window shows of its artwork, to the pixel: its icon at both scales and the link's
// pointing hand, against images the build renders of the drawings (icons/*.svg), premultiplied
// as the screen takes them. Linux draws them from SVG at run time, Windows loads images rendered
// so; either way the window must show those drawings, and the hand must click where it points.

#include "formfixture.h"

#include "label.h"

#include <QTest>

class TestArtwork : public QObject
{
    Q_OBJECT

private slots:
    void windowShowsTheDrawings_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<qreal>("scale");
        QTest::newRow("icon at scale 1") << QStringLiteral("tirrel-32") << 1.0;
        QTest::newRow("icon at scale 2") << QStringLiteral("tirrel-64") << 2.0;
        // The cursor takes the screen's scale, 1 on the offscreen platform.
        QTest::newRow("link's hand at the screen's scale") << QStringLiteral("hand-32") << 0.0;
    }

    void windowShowsTheDrawings()
    {
        QFETCH(QString, image);
        QFETCH(qreal, scale);
        const QImage rendered(QStringLiteral(TIRREL_ARTWORK_DIR "/%1.png").arg(image));
        QVERIFY(!rendered.isNull());
        FormFixture f;
        Form1 &form = f.start();
        const QPixmap shown = scale > 0 ? form.windowIcon().pixmap(QSize(32, 32), scale) : form.Label3->cursor().pixmap();
        QImage drawn = shown.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        drawn.setDevicePixelRatio(1.0);  // pixels are compared; the scale is the icon's business
        QCOMPARE(drawn, rendered.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        if (scale > 0)
            return;
        // The hot spot is the fingertip: drawn, with nothing of the hand above it.
        const QPoint tip = form.Label3->cursor().hotSpot();
        QCOMPARE(qAlpha(drawn.pixel(tip)), 255);
        QImage above(drawn.width(), tip.y(), drawn.format());
        above.fill(Qt::transparent);
        QCOMPARE(drawn.copy(0, 0, drawn.width(), tip.y()), above);
    }
};

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
