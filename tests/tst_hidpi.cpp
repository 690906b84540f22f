// The window at a scale factor of 2, as on a screen of twice the usual density: its size in
// device pixels, how sharp its captions and keys come out, and which key a press on a device
// pixel plays. The pictures are the platform's own copy of the window, in device pixels.

#include "formfixture.h"
#include "midirecord.h"

#include "dropdownlist.h"
#include "keygeometry.h"
#include "label.h"

#include <QBackingStore>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>

namespace {

constexpr int kScale = 2;
const QColor kEdge(64, 64, 64);

// Presses and moves at a device pixel: Qt's own tests reach the window through the same entry
// as the platform, which takes positions in device pixels (here logical ones times the scale).
void sendMouse(QWindow *window, QPoint devicePixel, Qt::MouseButtons buttons, QEvent::Type type)
{
    static int timestamp = 0;
    const QPointF local = QPointF(devicePixel) / kScale;
    qt_handleMouseEvent(window, local, window->mapToGlobal(local), buttons,
                        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, type, {}, timestamp += 20);
}

// Logical pixels of the window whose 2 x 2 device pixels hold an edge of strong contrast: detail
// finer than a logical pixel, which a picture drawn at the logical size and enlarged pixel for
// pixel does not have. Gradients change too slowly within two device pixels to count.
int edgesWithinALogicalPixel(const QImage &image, const QRect &logical)
{
    constexpr int kStrongContrast = 32;  // of 255, in one colour channel
    int edges = 0;
    for (int y = logical.top(); y <= logical.bottom(); ++y) {
        for (int x = logical.left(); x <= logical.right(); ++x) {
            const QColor block[] = {image.pixelColor(kScale * x, kScale * y), image.pixelColor(kScale * x + 1, kScale * y),
                                    image.pixelColor(kScale * x, kScale * y + 1),
                                    image.pixelColor(kScale * x + 1, kScale * y + 1)};
            int spread = 0;
            for (const QColor &a : block)
                for (const QColor &b : block)
                    spread = std::max({spread, std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                                       std::abs(a.blue() - b.blue())});
            if (spread >= kStrongContrast)
                ++edges;
        }
    }
    return edges;
}

} // namespace

class TestHiDpi : public QObject
{
    Q_OBJECT

    std::unique_ptr<FormFixture> f;
    Form1 *form = nullptr;
    QWindow *window = nullptr;

    // The window as the platform holds it, once everything is painted.
    QImage onScreen() const
    {
        form->repaint();
        QPaintDevice *device = form->backingStore()->paintDevice();
        if (device == nullptr || device->devType() != QInternal::Image)
            return {};
        return *static_cast<QImage *>(device);
    }

    // The window painted at a scale of 1, each pixel then doubled.
    QImage atScaleOneDoubled() const
    {
        QImage image(form->size(), QImage::Format_RGB32);
        form->render(&image);
        return image.scaled(image.size() * kScale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }

    QList<int> keysStruck() const
    {
        QList<int> keys;
        for (std::uint32_t m : f->platform.messages())
            if ((m & 0xF0) == 0x90)
                keys << int(m >> 8 & 0xFF) - keyboard::kStartBaseNote;
        return keys;
    }

private slots:
    void init()
    {
        f = std::make_unique<FormFixture>();
        form = f->startPlayable();
        QVERIFY(form);
        window = form->windowHandle();
    }

    void cleanup()
    {
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(2, 2));
        f.reset();
    }

    // What the screen shows: the window's 623 x 163 pixels, each as 2 x 2 device pixels.
    void windowIsTwiceItsSizeInDevicePixels()
    {
        const QImage image = onScreen();
        QVERIFY2(!image.isNull(), "the platform keeps no image of the window (is QT_QPA_PLATFORM offscreen?)");
        QCOMPARE(image.size(), QSize(1246, 326));
    }

    void captionsAreDrawnAtDeviceResolution_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::newRow("link, bold") << "Label3";
        QTest::newRow("button with Chinese and Latin") << "Command2";
        QTest::newRow("Latin button") << "Command1";
        QTest::newRow("device label") << "Label4(0)";
        QTest::newRow("device list") << "ComDevies";
        QTest::newRow("instrument list") << "ComSounds";
        QTest::newRow("note name, one letter") << "Label2";
        QTest::newRow("mute pad") << "Label1";
    }

    void captionsAreDrawnAtDeviceResolution()
    {
        QFETCH(QString, caption);
        const QMap<QString, QWidget *> captions = {
            {"Label3", form->Label3}, {"Command2", form->Command2}, {"Command1", form->Command1},
            {"Label4(0)", form->Label4[0]}, {"ComDevies", form->ComDevies->widget()},
            {"ComSounds", form->ComSounds->widget()}, {"Label2", form->Label2}, {"Label1", form->Label1}};
        QWidget *widget = captions.value(caption);
        QVERIFY(widget);
        // Inside the control's border, and left of a list's arrow: where only its text differs
        // from the background.
        QRect inside = widget->contentsRect().adjusted(3, 3, -3, -3);
        if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            QStyleOptionComboBox option;
            option.initFrom(combo);
            inside &= combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
        }
        const QRect logical(widget->mapTo(form, inside.topLeft()), inside.size());
        const QImage image = onScreen();
        QVERIFY(!image.isNull());
        const int edges = edgesWithinALogicalPixel(image, logical);
        // One letter gives some 36 here; a picture enlarged pixel for pixel gives none.
        QVERIFY2(edges >= 20, qPrintable(QStringLiteral("only %1 logical pixels hold a sharp edge").arg(edges)));
    }

    void keysLookAsAtScaleOneTwiceAsLarge()
    {
        const QRect area(8, 92, 609, 69);  // the keyboard, in logical pixels
        const QImage image = onScreen();
        QVERIFY(!image.isNull());
        const QImage doubled = atScaleOneDoubled();
        const QRect device(area.topLeft() * kScale, area.size() * kScale);
        // Sharp edges: only the keys' own three colours, nothing blended between them.
        for (int y = device.top(); y <= device.bottom(); ++y)
            for (int x = device.left(); x <= device.right(); ++x) {
                const QColor c = image.pixelColor(x, y);
                QVERIFY2(c == Qt::white || c == Qt::black || c == kEdge,
                         qPrintable(QStringLiteral("device pixel %1,%2 is %3").arg(x).arg(y).arg(c.name())));
            }
        // And each edge where scale 1 has it, two device pixels wide.
        for (int y = device.top(); y <= device.bottom(); ++y)
            for (int x = device.left(); x <= device.right(); ++x)
                QVERIFY2(image.pixel(x, y) == doubled.pixel(x, y),
                         qPrintable(QStringLiteral("device pixel %1,%2 is %3, at scale 1 it is %4")
                                        .arg(x).arg(y).arg(image.pixelColor(x, y).name(),
                                                           doubled.pixelColor(x, y).name())));
    }

    void pressOnADevicePixelPlaysTheKeyOnTop_data()
    {
        QTest::addColumn<QPoint>("devicePixel");
        QTest::addColumn<int>("key");

        QTest::newRow("black key's left column") << QPoint(40, 200) << 1;
        QTest::newRow("the column left of it, the white key's") << QPoint(39, 200) << 0;
        QTest::newRow("black key's right column") << QPoint(57, 200) << 1;
        QTest::newRow("the column right of it") << QPoint(58, 200) << 2;
        QTest::newRow("black key's last row") << QPoint(48, 265) << 1;
        QTest::newRow("the row below it") << QPoint(48, 266) << 2;
        QTest::newRow("white overlap, its left column") << QPoint(48, 300) << 2;
        QTest::newRow("the column left of the overlap") << QPoint(47, 300) << 0;
        QTest::newRow("top row of the keys") << QPoint(24, 184) << 0;
        QTest::newRow("the row above the keys") << QPoint(24, 183) << -1;
        QTest::newRow("last key's right column") << QPoint(1233, 300) << 64;
        QTest::newRow("right of the keyboard") << QPoint(1234, 300) << -1;
        QTest::newRow("bottom row of the keys") << QPoint(24, 321) << 0;
        QTest::newRow("below the keys") << QPoint(24, 322) << -1;
    }

    void pressOnADevicePixelPlaysTheKeyOnTop()
    {
        QFETCH(QPoint, devicePixel);
        QFETCH(int, key);
        sendMouse(window, devicePixel, Qt::LeftButton, QEvent::MouseButtonPress);
        sendMouse(window, devicePixel, Qt::NoButton, QEvent::MouseButtonRelease);
        QCOMPARE(keysStruck(), key < 0 ? QList<int>() : QList<int>{key});
    }

    void glideChangesKeyAtTheDevicePixelWhereTheNextBegins()
    {
        sendMouse(window, QPoint(30, 200), Qt::LeftButton, QEvent::MouseButtonPress);
        QMap<int, int> struckAt;  // device column -> key struck there
        for (int x = 31; x <= 90; ++x) {
            const qsizetype before = keysStruck().size();
            sendMouse(window, QPoint(x, 200), Qt::LeftButton, QEvent::MouseMove);
            if (keysStruck().size() > before)
                struckAt.insert(x, keysStruck().back());
        }
        sendMouse(window, QPoint(90, 200), Qt::NoButton, QEvent::MouseButtonRelease);
        // Keys 1 to 4 begin at logical columns 20, 29, 36 and 45, each at the first device
        // column of its own.
        QCOMPARE(keysStruck().first(), 0);
        QCOMPARE(struckAt, (QMap<int, int>{{40, 1}, {58, 2}, {72, 3}, {90, 4}}));
    }

    void glideFromTheKeyboardsLastDeviceColumn()
    {
        // Half a logical pixel from the window's background beside the keyboard.
        sendMouse(window, QPoint(1233, 300), Qt::LeftButton, QEvent::MouseButtonPress);
        for (int x = 1232; x >= 1180; --x)
            sendMouse(window, QPoint(x, 300), Qt::LeftButton, QEvent::MouseMove);
        sendMouse(window, QPoint(1180, 300), Qt::NoButton, QEvent::MouseButtonRelease);
        // E, then D from logical column 599, where E no longer covers it.
        QCOMPARE(keysStruck(), (QList<int>{64, 62}));

        // The drag is over: a press elsewhere plays the key there.
        sendMouse(window, QPoint(228, 300), Qt::LeftButton, QEvent::MouseButtonPress);
        sendMouse(window, QPoint(228, 300), Qt::NoButton, QEvent::MouseButtonRelease);
        QCOMPARE(keysStruck(), (QList<int>{64, 62, 11}));
    }

    void aBoxOpenedMidGlideLetsGoOfTheMouse()
    {
        // The key that took the mouse for a glide begun beside the keyboard must give it up, or
        // it would take the next press anywhere in the window: here, the one on Power.
        sendMouse(window, QPoint(1233, 300), Qt::LeftButton, QEvent::MouseButtonPress);
        f->platform.sendResult = midi::result::MidiNoDevice;
        QTimer::singleShot(50, form, [this] {
            sendMouse(window, QPoint(1180, 300), Qt::NoButton, QEvent::MouseButtonRelease);  // dropped
            if (QWidget *box = QApplication::activeModalWidget())
                box->close();
        });
        sendMouse(window, QPoint(1180, 300), Qt::LeftButton, QEvent::MouseMove);
        f->platform.sendResult = midi::result::NoError;

        const QPoint power = form->Command1->geometry().center() * kScale;
        sendMouse(window, power, Qt::LeftButton, QEvent::MouseButtonPress);
        sendMouse(window, power, Qt::NoButton, QEvent::MouseButtonRelease);
        QCOMPARE(f->endCalls, 1);
    }
};

int main(int argc, char *argv[])
{
    // Before the application exists: the scale applies to the screens it finds.
    qputenv("QT_SCALE_FACTOR", QByteArray::number(kScale));
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi);  // as QTEST_MAIN does: fonts sized as in the other tests
    TestHiDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"
