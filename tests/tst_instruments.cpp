#include "boxwatcher.h"
#include "formfixture.h"
#include "midirecord.h"

#include "dropdownlist.h"

#include <QComboBox>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTest>

#include <algorithm>

using Op = midi::RecordingPlatform::Op;

namespace {

const QString kInstrumentFileName = QStringLiteral("genmidi.txt");

using Messages = std::vector<std::uint32_t>;

constexpr std::uint32_t kBankSelect0 = 0x000000B0;
std::uint32_t programChange(int program) { return 0xC0u | std::uint32_t(program) << 8; }

const QPoint kKey12(128, 150);

QStringList numberedNames(int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QStringLiteral("Instrument %1").arg(i);
    return names;
}

QByteArray fileOf(const QStringList &lines, const char *lineEnd = "\r\n")
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toUtf8() + lineEnd;
    return bytes;
}

const QStringList kChineseNames{QStringLiteral("大钢琴"), QStringLiteral("明亮的钢琴"), QStringLiteral("电钢琴"),
                                QStringLiteral("钟琴")};
// The same four names as saved by a Chinese Windows system, in code page 936.
const QByteArray kChineseNamesGbk("\xb4\xf3\xb8\xd6\xc7\xd9\r\n"
                                  "\xc3\xf7\xc1\xc1\xb5\xc4\xb8\xd6\xc7\xd9\r\n"
                                  "\xb5\xe7\xb8\xd6\xc7\xd9\r\n"
                                  "\xd6\xd3\xc7\xd9\r\n");

QStringList entriesOf(const DropDownList &list)
{
    QStringList entries;
    for (int i = 0; i < list.count(); ++i)
        entries << list.widget()->itemText(i);
    return entries;
}

qsizetype firstIndexOf(const std::vector<midi::RecordingPlatform::Call> &calls, Op op)
{
    const auto it = std::find_if(calls.begin(), calls.end(), [op](const auto &c) { return c.op == op; });
    return it == calls.end() ? -1 : it - calls.begin();
}


} // namespace

class TestInstruments : public QObject
{
    Q_OBJECT

private slots:
    void everyLineBecomesAnEntry_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("entries");

        QStringList withGap = numberedNames(12);
        withGap[5].clear();

        QTest::newRow("128 lines") << fileOf(numberedNames(128)) << numberedNames(128);
        QTest::newRow("130 lines, two past MIDI's range") << fileOf(numberedNames(130)) << numberedNames(130);
        QTest::newRow("empty line in the middle keeps the numbering") << fileOf(withGap) << withGap;
        QTest::newRow("a line end alone is one empty line") << QByteArray("\r\n") << QStringList{QString()};
        QTest::newRow("last line without a line end")
            << QByteArray("Piano\r\nOrgan\r\nFlute") << QStringList{"Piano", "Organ", "Flute"};
        QTest::newRow("blanks kept") << QByteArray(" Piano \r\n\tOrgan\r\n") << QStringList{" Piano ", "\tOrgan"};
        QTest::newRow("UTF-8") << fileOf(kChineseNames) << kChineseNames;
        QTest::newRow("UTF-8 with a byte-order mark") << "\xEF\xBB\xBF" + fileOf(kChineseNames) << kChineseNames;
        QTest::newRow("GBK") << kChineseNamesGbk << kChineseNames;
        QTest::newRow("CR line ends") << QByteArray("Piano\rOrgan\rFlute\r") << QStringList{"Piano", "Organ", "Flute"};
        QTest::newRow("LF line ends") << QByteArray("Piano\nOrgan\nFlute\n") << QStringList{"Piano", "Organ", "Flute"};
        QTest::newRow("empty file") << QByteArray() << QStringList{};
    }

    void everyLineBecomesAnEntry()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, entries);

        FormFixture f;
        f.writeFile(kInstrumentFileName, file);
        BoxWatcher boxes;
        Form1 &form = f.start();

        QCOMPARE(entriesOf(*form.ComSounds), entries);
        QCOMPARE(boxes.texts, QStringList{});
        const auto &calls = f.platform.calls;
        if (entries.isEmpty()) {
            // Nothing to select, so nothing to send.
            QCOMPARE(form.ComSounds->listIndex(), -1);
            QCOMPARE(firstIndexOf(calls, Op::ShortMsg), -1);
            return;
        }
        QCOMPARE(form.ComSounds->listIndex(), 0);
        QCOMPARE(form.ComSounds->widget()->currentText(), entries.first());
        QCOMPARE(f.platform.messages(), (Messages{kBankSelect0, programChange(0)}));
        // Sent to the device start-up opened, after it was opened.
        const qsizetype open = firstIndexOf(calls, Op::Open);
        QVERIFY(open >= 0);
        QVERIFY(open < firstIndexOf(calls, Op::ShortMsg));
        for (const auto &c : calls)
            if (c.op == Op::ShortMsg)
                QCOMPARE(c.deviceOrHandle, f.midi.handle());
    }

    void choosingAnEntrySendsBankZeroThenItsNumber_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("entry");
        QTest::addColumn<Messages>("messages");

        QStringList withGap = numberedNames(12);
        withGap[5].clear();
        QTest::newRow("entry 9") << fileOf(numberedNames(128)) << 9 << Messages{0x000000B0, 0x000009C0};
        QTest::newRow("entry 9, after an empty line") << fileOf(withGap) << 9 << Messages{0x000000B0, 0x000009C0};
        QTest::newRow("the empty entry itself") << fileOf(withGap) << 5 << Messages{0x000000B0, 0x000005C0};
        QTest::newRow("entry 127, the last program") << fileOf(numberedNames(130)) << 127
                                                     << Messages{0x000000B0, 0x00007FC0};
    }

    void choosingAnEntrySendsBankZeroThenItsNumber()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, entry);
        QFETCH(Messages, messages);

        FormFixture f;
        f.writeFile(kInstrumentFileName, file);
        Form1 &form = f.start();
        f.platform.clearCalls();

        BoxWatcher boxes;
        chooseWithKeyboard(*form.ComSounds, entry);
        QCOMPARE(form.ComSounds->listIndex(), entry);
        QCOMPARE(f.platform.messages(), messages);
        QCOMPARE(boxes.texts, QStringList{});
    }

    void glidingDownTheListSendsEachEntry()
    {
        FormFixture f;
        f.writeFile(kInstrumentFileName, fileOf(numberedNames(10)));
        Form1 &form = f.start();
        f.platform.clearCalls();

        QComboBox *combo = form.ComSounds->widget();
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
        QTest::keyClick(combo, Qt::Key_End);
        QTest::keyClick(combo, Qt::Key_Down);  // already at the end: no choice is made
        QCOMPARE(form.ComSounds->listIndex(), 9);
        QCOMPARE(f.platform.messages(), (Messages{kBankSelect0, programChange(1), kBankSelect0, programChange(9)}));
    }

    void userPickingTheSelectedEntrySendsItAgain()
    {
        FormFixture f;
        Form1 &form = f.start();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        f.platform.clearCalls();
        clickInPopup(*form.ComSounds, 0);
        QCOMPARE(form.ComSounds->listIndex(), 0);
        QCOMPARE(f.platform.messages(), (Messages{kBankSelect0, programChange(0)}));
    }

    void entriesPastMidisRangeSendNothing_data()
    {
        QTest::addColumn<int>("entry");
        QTest::newRow("entry 128, the first past the range") << 128;
        QTest::newRow("entry 129, the last line") << 129;
    }

    void entriesPastMidisRangeSendNothing()
    {
        QFETCH(int, entry);
        FormFixture f;
        f.writeFile(kInstrumentFileName, fileOf(numberedNames(130)));
        Form1 &form = f.start();
        f.platform.clearCalls();

        BoxWatcher boxes;
        chooseWithKeyboard(*form.ComSounds, entry);
        QCOMPARE(form.ComSounds->listIndex(), entry);
        QCOMPARE(f.platform.messages(), Messages{});
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY2(boxes.texts.first().contains(QStringLiteral("音色号 %1").arg(entry)), qPrintable(boxes.texts.first()));
        QCOMPARE(boxes.captions, QStringList{QStringLiteral("Tirrel")});
    }

    void unreadableFileIsReportedOnceAndTheProgramRunsOn_data()
    {
        QTest::addColumn<bool>("directory");
        QTest::newRow("missing") << false;
        QTest::newRow("a directory in its place") << true;
    }

    void unreadableFileIsReportedOnceAndTheProgramRunsOn()
    {
        QFETCH(bool, directory);
        FormFixture f;
        const QString path = f.dir.filePath(kInstrumentFileName);
        if (directory)
            QVERIFY(QDir(f.dir.path()).mkdir(kInstrumentFileName));

        BoxWatcher boxes;
        // Started by hand: the fixture's start() would put the shipped file in place.
        f.form = std::make_unique<Form1>(f.midi, Form1::Options{f.dir.path(), [&f] { ++f.endCalls; }});
        Form1 &form = *f.form;

        QCOMPARE(boxes.texts.size(), 1);
        QCOMPARE(boxes.captions, QStringList{QStringLiteral("Tirrel")});
        const QString text = boxes.texts.first();
        const QRegularExpression sentence(QStringLiteral("^无法读取文件 %1：.+。$")
                                              .arg(QRegularExpression::escape(QDir::toNativeSeparators(path))));
        QVERIFY2(sentence.match(text).hasMatch(), qPrintable(text));
        if (!directory) {
            QFile missing(path);
            QVERIFY(!missing.open(QIODevice::ReadOnly));
            QVERIFY2(text.contains(missing.errorString()), qPrintable(text));
        }
        QCOMPARE(form.ComSounds->count(), 0);
        QCOMPARE(f.platform.messages(), Messages{});
        QVERIFY(f.midi.handle() != 0);

        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QWindow *window = form.windowHandle();
        QTest::mousePress(window, Qt::LeftButton, {}, kKey12);
        QTest::mouseRelease(window, Qt::LeftButton, {}, kKey12);
        QCOMPARE(f.platform.messages(), (Messages{noteOff(36), noteOn(48)}));
        QCOMPARE(boxes.texts.size(), 1);
    }
};

QTEST_MAIN(TestInstruments)
#include "tst_instruments.moc"
