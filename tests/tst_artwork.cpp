// What the window shows of its artwork, to the pixel: its icon at both scales and the link's
// pointing hand, against images the build renders of the drawings (icons/*.svg). Linux draws
// them from SVG at run time, Windows loads images rendered so; either way the window must show
// those drawings, premultiplied as the screen takes them, and the hand must point where it clicks.

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

        const QString path = QStringLiteral(TIRREL_ARTWORK_DIR "/%1.png").arg(image);
        const QImage rendered(path);
        QVERIFY2(!rendered.isNull(), qPrintable(path));
        FormFixture f;
        Form1 &form = f.start();
        const QPixmap shown = scale > 0 ? form.windowIcon().pixmap(QSize(32, 32), scale) : form.Label3->cursor().pixmap();
        QImage drawn = shown.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        // Pixels are compared; the scale is the icon's business.
        drawn.setDevicePixelRatio(1.0);
        QCOMPARE(drawn.size(), rendered.size());
        QCOMPARE(drawn, rendered.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }

    void handClicksWithItsFingertip()
    {
        FormFixture f;
        const QCursor hand = f.start().Label3->cursor();
        const QImage drawn = hand.pixmap().toImage();
        const QPoint tip = hand.hotSpot();
        // The hot spot is drawn, and nothing of the hand lies above it.
        QVERIFY2(qAlpha(drawn.pixel(tip)) == 255, qPrintable(QStringLiteral("%1,%2").arg(tip.x()).arg(tip.y())));
        for (int y = 0; y < tip.y(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                QVERIFY2(qAlpha(drawn.pixel(x, y)) == 0, qPrintable(QStringLiteral("%1,%2 is above the tip").arg(x).arg(y)));
    }
};

QTEST_MAIN(TestArtwork)
#include "tst_artwork.moc"
