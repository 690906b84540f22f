#include "formfixture.h"

#include "dropdownlist.h"
#include "label.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

using Op = midi::RecordingPlatform::Op;

namespace {
int callsOf(const midi::RecordingPlatform &platform, Op op)
{
    return int(std::count_if(platform.calls.begin(), platform.calls.end(), [op](const auto &c) { return c.op == op; }));
}

// Whatever a refresh may do, it opens, closes and sends nothing.
bool touchedTheDevice(const midi::RecordingPlatform &platform)
{
    return callsOf(platform, Op::Open) + callsOf(platform, Op::Close) + callsOf(platform, Op::ShortMsg) > 0;
}

// Each entry as "text=item value".
QStringList entries(const DropDownList &list)
{
    QStringList texts = list.texts();
    for (int i = 0; i < texts.size(); ++i)
        texts[i] += QStringLiteral("=%1").arg(list.itemData(i));
    return texts;
}

// Tells the window, as a system would, that its devices are now `names`, and gives it time
// to read the list again, and for any refresh that might follow.
void announce(FormFixture &f, const QStringList &names)
{
    f.platform.devices.assign(names.begin(), names.end());
    f.platform.clearCalls();
    f.platform.devicesChanged();
    QTest::qWait(200);
}
} // namespace

// Stands in for the browser: keeps the addresses the program asks to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QStringList opened;
public slots:
    void open(const QUrl &url) { opened << url.toString(); }
};

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    // The window as the real program shows it on a 96-dpi X server (docs/tirrel.png, taken by
    // scripts/screenshot.sh), to the pixel: a control that moved, grew, shrank or lost its
    // caption differs there. Windows draws text and standard controls its own way; there only
    // the keys are the program's to draw.
    void windowLooksAsInTheScreenshot()
    {
        FormFixture f;
        f.platform.mapper = QStringLiteral("内置合成器 (FluidSynth)");  // the device the screenshot shows
        Form1 &form = f.start();
        const QImage screenshot(qEnvironmentVariable("TIRREL_SOURCE_DIR") + QStringLiteral("/docs/tirrel.png"));
        const QImage shown = form.grab().toImage();
        QCOMPARE(shown.size(), screenshot.size());
#ifdef Q_OS_WIN
        const QRect area = form.Picture1[0]->geometry() | form.Picture1[keyboard::kKeyCount - 1]->geometry();
#else
        const QRect area = form.rect();
#endif
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (shown.pixel(x, y) != screenshot.pixel(x, y)) {
                    const QWidget *at = form.childAt(x, y);
                    QFAIL(qPrintable(QStringLiteral("%1,%2 (%3) is %4, the screenshot has %5").arg(x).arg(y)
                                         .arg(at ? at->metaObject()->className() : "Form1", shown.pixelColor(x, y).name(),
                                              screenshot.pixelColor(x, y).name())));
                }
    }

    void windowCaptionSizeAndLink()
    {
        FormFixture f;
        Form1 &form = f.start();
        QCOMPARE(form.windowTitle(), QStringLiteral("Tirrel V2.5"));
        QCOMPARE(form.size(), QSize(623, 163));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QCOMPARE(form.Label3->toolTip(), QStringLiteral("直播网址：https://tirrel.example"));
        QVERIFY(form.Label3->font().bold());
        QCOMPARE(form.Label3->font().pointSizeF(), 10.5);
    }

    void coloursOnScreen_data()
    {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QColor>("colour");

        QTest::newRow("window background") << QPoint(2, 2) << QColor(0, 0, 192);
        QTest::newRow("mute pad") << QPoint(30, 70) << QColor(0, 0, 128);
        QTest::newRow("white key") << QPoint(12, 150) << QColor(Qt::white);
        QTest::newRow("black key") << QPoint(24, 110) << QColor(Qt::black);
        QTest::newRow("line above the keys, left of the mute pad") << QPoint(10, 88) << QColor(128, 128, 255);
        QTest::newRow("line above the keys, right of the mute pad") << QPoint(614, 88) << QColor(128, 128, 255);
        QTest::newRow("line at the right") << QPoint(620, 120) << QColor(128, 128, 255);
        QTest::newRow("device label") << QPoint(58, 60) << QColor(0, 0, 192);
        QTest::newRow("note name box") << QPoint(453 + 121, 8 + 13) << QColor(Qt::white);
    }

    void coloursOnScreen()
    {
        QFETCH(QPoint, point);
        QFETCH(QColor, colour);
        FormFixture f;
        Form1 &form = f.start();
        const QImage image = form.grab().toImage();
        QCOMPARE(image.pixelColor(point * image.devicePixelRatio()), colour);
    }

    void topMostKeyUnderAPoint_data()
    {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<int>("key");

        QTest::newRow("white overlap belongs to the right-hand key") << QPoint(24, 150) << 2;
        QTest::newRow("just left of the overlap") << QPoint(23, 150) << 0;
        QTest::newRow("E and F overlap") << QPoint(56, 150) << 5;
        QTest::newRow("black key's left edge") << QPoint(20, 100) << 1;
        QTest::newRow("left of the black key") << QPoint(19, 100) << 0;
        QTest::newRow("black key's right edge") << QPoint(28, 100) << 1;
        QTest::newRow("right of the black key") << QPoint(29, 100) << 2;
        QTest::newRow("black key's last row") << QPoint(24, 132) << 1;
        QTest::newRow("below the black key") << QPoint(24, 133) << 2;
        QTest::newRow("top row of the keys") << QPoint(12, 92) << 0;
        QTest::newRow("above the keys") << QPoint(12, 91) << -1;
        QTest::newRow("last key's right edge") << QPoint(616, 150) << 64;
        QTest::newRow("right of the keyboard") << QPoint(617, 150) << -1;
        QTest::newRow("bottom row") << QPoint(12, 160) << 0;
    }

    void topMostKeyUnderAPoint()
    {
        QFETCH(QPoint, point);
        QFETCH(int, key);
        FormFixture f;
        Form1 &form = f.start();
        auto *hit = qobject_cast<PianoKey *>(form.childAt(point));
        QCOMPARE(hit ? hit->index() : -1, key);
    }

    void startUpOpensEntryZeroAndSendsProgramZero()
    {
        FormFixture f;
        f.platform.devices = {QStringLiteral("Port A"), QStringLiteral("Port B")};
        Form1 &form = f.start();

        QCOMPARE(form.ComDevies->count(), 3);
        QCOMPARE(form.ComDevies->widget()->itemText(0), QStringLiteral("Mapper"));
        QCOMPARE(form.ComDevies->listIndex(), 0);
        QCOMPARE(f.platform.deviceOf(f.midi.handle()), std::optional<std::uint32_t>(midi::kMidiMapper));
        // The device is open before the first program change goes out.
        QCOMPARE(f.platform.messages(), (std::vector<std::uint32_t>{0x000000B0, 0x000000C0}));
        QCOMPARE(form.ComSounds->count(), 128);
        QCOMPARE(form.ComSounds->listIndex(), 0);
        QCOMPARE(form.HScroll1->value(), 36);
        QCOMPARE(form.HScroll2->value(), 127);
        QCOMPARE(form.Label2->text(), QStringLiteral("C"));
        QCOMPARE(form.keys().baseNote(), 36);
        QCOMPARE(form.keys().velocity(), 127);
    }

    void choosingAnotherDeviceReopensWithoutResendingTheInstrument()
    {
        FormFixture f;
        f.platform.devices = {QStringLiteral("Port A")};
        Form1 &form = f.start();
        const midi::HMidiOut mapper = f.midi.handle();
        f.platform.clearCalls();

        QComboBox *combo = form.ComDevies->widget();
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);  // a user's choice of entry 1
        QCOMPARE(form.ComDevies->listIndex(), 1);
        QCOMPARE(f.platform.deviceOf(f.midi.handle()), std::optional<std::uint32_t>(0));
        std::vector<Op> ops;
        for (const auto &c : f.platform.calls)
            ops.push_back(c.op);
        QCOMPARE(ops, (std::vector<Op>{Op::ShortMsg, Op::Close, Op::Open}));
        QCOMPARE(f.platform.calls[1].deviceOrHandle, mapper);
        QCOMPARE(f.platform.messages(), std::vector<std::uint32_t>{0x00007BB0});
    }

    void userPickingTheSelectedDeviceReopensIt_data()
    {
        QTest::addColumn<bool>("withMouse");
        QTest::newRow("a click on it in the open list") << true;
        QTest::newRow("Return in the open list") << false;
    }

    void userPickingTheSelectedDeviceReopensIt()
    {
        QFETCH(bool, withMouse);
        FormFixture f;
        f.platform.devices = {QStringLiteral("Port A")};
        Form1 &form = f.start();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const midi::HMidiOut mapper = f.midi.handle();
        f.platform.clearCalls();

        if (withMouse) {
            clickInPopup(*form.ComDevies, 0);
        } else {
            form.ComDevies->widget()->showPopup();
            QTest::keyClick(form.ComDevies->widget()->view(), Qt::Key_Return);
        }
        QVERIFY(!form.ComDevies->widget()->view()->isVisible());
        std::vector<Op> ops;
        for (const auto &c : f.platform.calls)
            ops.push_back(c.op);
        // The list is read anew as it drops down, the devices nothing announces looked for first.
        QCOMPARE(ops, (std::vector<Op>{Op::LookForDevices, Op::GetDevCaps, Op::GetNumDevs, Op::GetDevCaps,
                                       Op::ShortMsg, Op::Close, Op::Open}));
        QCOMPARE(f.platform.calls[5].deviceOrHandle, mapper);
        QCOMPARE(f.platform.deviceOf(f.midi.handle()), std::optional<std::uint32_t>(midi::kMidiMapper));
    }

    void refreshKeepsTheSelectionAndTheOpenDevice_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<int>("selected");

        const QStringList ab = {"A", "B"};
        QTest::newRow("a port before the chosen one: ids move up")
            << ab << 2 << QStringList{"N", "A", "B"} << QStringList{"Mapper=-1", "N=0", "A=1", "B=2"} << 3;
        QTest::newRow("a port before the chosen one goes: ids move down")
            << ab << 2 << QStringList{"B"} << QStringList{"Mapper=-1", "B=0"} << 1;
        QTest::newRow("the chosen port goes: its entry stays and names no id")
            << ab << 2 << QStringList{"A"} << QStringList{"Mapper=-1", "A=0", "B=1"} << 2;
        QTest::newRow("every port goes but the chosen one's entry")
            << ab << 1 << QStringList{} << QStringList{"Mapper=-1", "A=0"} << 1;
        QTest::newRow("the synthesizer stays first and chosen")
            << ab << 0 << QStringList{"B"} << QStringList{"Mapper=-1", "B=0"} << 0;
        QTest::newRow("two ports of one cut name: the second stays chosen")
            << QStringList{"X", "X"} << 2 << QStringList{"N", "X", "X"} << QStringList{"Mapper=-1", "N=0", "X=1", "X=2"}
            << 3;
    }

    void refreshKeepsTheSelectionAndTheOpenDevice()
    {
        QFETCH(QStringList, before);
        QFETCH(int, chosen);
        QFETCH(QStringList, after);
        QFETCH(QStringList, entries);
        QFETCH(int, selected);
        FormFixture f;
        f.platform.devices.assign(before.begin(), before.end());
        Form1 &form = f.start();
        form.ComDevies->choose(chosen);
        const midi::HMidiOut open = f.midi.handle();

        announce(f, after);
        QCOMPARE(::entries(*form.ComDevies), entries);
        QCOMPARE(form.ComDevies->listIndex(), selected);
        QVERIFY(!touchedTheDevice(f.platform));
        QCOMPARE(f.midi.handle(), open);
    }

    void aBurstOfNewsIsOneRefresh()
    {
        FormFixture f;
        Form1 &form = f.start();
        f.platform.clearCalls();
        for (int port = 0; port < 16; ++port) {
            f.platform.devices.push_back(QStringLiteral("Synth:%1").arg(port));
            f.platform.devicesChanged();
        }
        QTRY_COMPARE(form.ComDevies->count(), 17);
        // Nothing more comes while nothing changes.
        QTest::qWait(300);
        QCOMPARE(callsOf(f.platform, Op::GetNumDevs), 1);
    }

    void anOpenDropDownWaitsForItsRefresh()
    {
        FormFixture f;
        f.platform.devices = {QStringLiteral("A")};
        Form1 &form = f.start();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QComboBox *combo = form.ComDevies->widget();

        // A port nothing announced is in the list the moment it drops down.
        f.platform.devices.push_back(QStringLiteral("B"));
        combo->showPopup();
        QVERIFY(combo->view()->isVisible());
        QCOMPARE(form.ComDevies->texts(), (QStringList{"Mapper", "A", "B"}));

        announce(f, {"B"});
        QCOMPARE(callsOf(f.platform, Op::GetNumDevs), 0);
        QCOMPARE(form.ComDevies->texts(), (QStringList{"Mapper", "A", "B"}));
        combo->hidePopup();
        QTRY_COMPARE(form.ComDevies->texts(), (QStringList{"Mapper", "B"}));
        QCOMPARE(form.ComDevies->listIndex(), 0);
        QVERIFY(!touchedTheDevice(f.platform));
    }

    void theVanishedDeviceStaysUntilAnotherIsChosen()
    {
        FormFixture f;
        f.platform.devices = {QStringLiteral("A"), QStringLiteral("B")};
        Form1 &form = f.start();
        form.ComDevies->choose(2);
        announce(f, {"A"});
        chooseWithKeyboard(*form.ComDevies, 1);
        QCOMPARE(f.platform.deviceOf(f.midi.handle()), std::optional<std::uint32_t>(0));
        QTRY_COMPARE(entries(*form.ComDevies), (QStringList{"Mapper=-1", "A=0"}));
        QCOMPARE(form.ComDevies->listIndex(), 1);

        // Back, under another id: choosing it opens that.
        announce(f, {"B", "A"});
        chooseWithKeyboard(*form.ComDevies, 1);
        QCOMPARE(form.ComDevies->widget()->currentText(), QStringLiteral("B"));
        QCOMPARE(f.platform.deviceOf(f.midi.handle()), std::optional<std::uint32_t>(0));
    }

    void theLinkOpensTheLiveRoom_data()
    {
        QTest::addColumn<QPoint>("releasedFromThePress");
        QTest::addColumn<QStringList>("opened");
        QTest::newRow("a click on the link") << QPoint(0, 0) << QStringList{"https://tirrel.example/tv.htm"};
        QTest::newRow("let go below the link") << QPoint(0, 40) << QStringList{};
    }

    void theLinkOpensTheLiveRoom()
    {
        QFETCH(QPoint, releasedFromThePress);
        QFETCH(QStringList, opened);
        FormFixture f;
        Form1 &form = f.start();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        UrlCatcher browser;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        const QPoint link = form.Label3->geometry().center();
        QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, link);
        QTest::mouseRelease(form.windowHandle(), Qt::LeftButton, {}, link + releasedFromThePress);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(browser.opened, opened);
    }

    void codeSettingTheSameValueRunsNoHandler()
    {
        FormFixture f;
        Form1 &form = f.start();
        f.platform.clearCalls();
        form.selectDevice(0);
        form.setTransposition(36);
        QVERIFY(f.platform.calls.empty());
        form.setTransposition(32);
        QCOMPARE(form.Label2->text(), QStringLiteral("G#"));
    }

    void emptyDeviceListLeavesTheDeviceClosed()
    {
        FormFixture f;
        f.platform.mapper.reset();
        QString boxText;
        dismissNextBox(&boxText);  // program 0 goes to no device
        Form1 &form = f.start();
        QCOMPARE(form.ComDevies->count(), 0);
        QCOMPARE(form.ComDevies->listIndex(), -1);
        QCOMPARE(f.midi.handle(), 0u);
        QVERIFY(std::none_of(f.platform.calls.begin(), f.platform.calls.end(),
                             [](const auto &c) { return c.op == Op::Open; }));
    }

    void powerAndTheCloseBoxCloseTheDeviceThenEnd_data()
    {
        QTest::addColumn<bool>("power");
        QTest::newRow("Power button") << true;
        QTest::newRow("close box") << false;
    }

    void powerAndTheCloseBoxCloseTheDeviceThenEnd()
    {
        QFETCH(bool, power);
        FormFixture f;
        Form1 &form = f.start();
        form.show();
        const midi::HMidiOut open = f.midi.handle();
        f.platform.clearCalls();
        if (power)
            QTest::mouseClick(form.Command1, Qt::LeftButton);
        else
            form.close();
        QCOMPARE(f.endCalls, 1);
        QCOMPARE(f.midi.handle(), 0u);
        QCOMPARE(f.platform.calls.back().op, Op::Close);
        QCOMPARE(f.platform.calls.back().deviceOrHandle, open);
        QVERIFY(!form.Timer1->isActive());
        QVERIFY(!form.songPlayer().isPlaying());
    }

    void failingCloseShowsItsBoxBeforeTheEnd()
    {
        FormFixture f;
        Form1 &form = f.start();
        f.platform.closeResult = midi::result::Error;
        int endCallsWhileBoxOpen = -1;
        QTimer::singleShot(50, [&] {
            endCallsWhileBoxOpen = f.endCalls;
            if (QWidget *box = QApplication::activeModalWidget())
                box->close();
        });
        QTest::mouseClick(form.Command1, Qt::LeftButton);
        QCOMPARE(endCallsWhileBoxOpen, 0);
        QCOMPARE(f.endCalls, 1);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
