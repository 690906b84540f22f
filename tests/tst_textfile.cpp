#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kName = QStringLiteral("names.txt");
const QString kReplacement(QChar::ReplacementCharacter);

enum class Setup { File, Missing, Directory };

// An input that never ends, counting what was taken from it.
class EndlessDevice : public QIODevice
{
public:
    EndlessDevice() { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 served = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        for (qint64 i = 0; i < maxSize; ++i)
            data[i] = (served + i) % 8 == 7 ? '\n' : 'a';
        served += maxSize;
        return maxSize;
    }
    qint64 writeData(const char *, qint64) override { return -1; }
};

QString sourceFile(const QString &relative)
{
    return qEnvironmentVariable("TIRREL_SOURCE_DIR") + u'/' + relative;
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class TextFileTest : public QObject
{
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
    void limits_data();
    void limits();
    void readLinesStopsAfterTheLimit();
    void anyBytesDecode();
    void readFile_data();
    void readFile();
    void shippedInstrumentNames();
};

void TextFileTest::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
    QTest::newRow("LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    QTest::newRow("CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("mixed") << QByteArray("a\r\nb\nc\rd") << QStringList{"a", "b", "c", "d"};
    QTest::newRow("LF CR is two line ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
    QTest::newRow("CR CR LF is two line ends") << QByteArray("a\r\r\nb") << QStringList{"a", "", "b"};
    QTest::newRow("no final line end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("empty file") << QByteArray() << QStringList{};
    QTest::newRow("only a line end") << QByteArray("\r\n") << QStringList{""};
    QTest::newRow("empty line in the middle") << QByteArray("a\r\n\r\nb\r\n") << QStringList{"a", "", "b"};
    QTest::newRow("blanks kept") << QByteArray(" a \t\r\n\t\r\n") << QStringList{" a \t", "\t"};
    QTest::newRow("UTF-8") << QByteArray("中文\r\n钟琴\r\n") << QStringList{"中文", "钟琴"};
    QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF中文\r\n") << QStringList{"中文"};
    QTest::newRow("BOM only") << QByteArray("\xEF\xBB\xBF") << QStringList{};
    QTest::newRow("GBK name equals its UTF-8 form")
        << QByteArray("\xB4\xF3\xB8\xD6\xC7\xD9\r\n") << QStringList{"大钢琴"};
    QTest::newRow("GBK with line ends") << QByteArray("\xD6\xD0\r\n\xCE\xC4") << QStringList{"中", "文"};
    QTest::newRow("GBK euro sign of code page 936") << QByteArray("\x80") << QStringList{"€"};
    QTest::newRow("NUL in UTF-8") << QByteArray("a\0b", 3) << QStringList{"a" + kReplacement + "b"};
    QTest::newRow("NUL in GBK") << QByteArray("\xD6\xD0\0", 3) << QStringList{"中" + kReplacement};
    QTest::newRow("invalid byte") << QByteArray("a\xFF" "b") << QStringList{"a" + kReplacement + "b"};
    QTest::newRow("two invalid bytes, two replacements")
        << QByteArray("\xFF\xFF" "b") << QStringList{kReplacement + kReplacement + "b"};
    // Letters are GBK trail bytes, digits and blanks are not.
    QTest::newRow("GBK lead byte before a digit keeps the digit")
        << QByteArray("\xD6" "0\xD0") << QStringList{kReplacement + "0" + kReplacement};
    QTest::newRow("GBK lead byte before a line end")
        << QByteArray("\xD6\r\nx") << QStringList{kReplacement, "x"};
    QTest::newRow("invalid byte after a BOM stays UTF-8")
        << QByteArray("\xEF\xBB\xBF\xD6\xD0") << QStringList{kReplacement + kReplacement};
}

void TextFileTest::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);

    const text::ReadResult result = text::decodeLines(bytes, kName);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.lines, lines);
    QVERIFY(result.error.isEmpty());
}

void TextFileTest::limits_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");

    const QByteArray shortLines = QByteArray("abcdefg\n").repeated(text::kMaxFileSize / 8);
    const QByteArray longestLine(text::kMaxLineLength, 'x');
    QTest::newRow("file of exactly the size limit") << shortLines << true;
    QTest::newRow("file one byte over the size limit") << shortLines + "x" << false;
    QTest::newRow("line of exactly the length limit") << longestLine + "\r\n" << true;
    QTest::newRow("line one byte over the length limit") << longestLine + "x" << false;
    QTest::newRow("overlong line after short ones") << "a\r\nb\r\n" + longestLine + "x\r\n" << false;
    QTest::newRow("line end not counted in the length") << longestLine + "\r\n" + longestLine << true;
    QTest::newRow("multibyte line measured in bytes")
        << QByteArray("中").repeated(text::kMaxLineLength / 3 + 1) << false;
}

void TextFileTest::limits()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);

    const text::ReadResult result = text::decodeLines(bytes, kName);
    QCOMPARE(result.ok, ok);
    if (!ok) {
        QVERIFY(result.lines.isEmpty());
        QVERIFY2(result.error.startsWith(u"无法读取文件 names.txt："), qPrintable(result.error));
        QVERIFY2(result.error.endsWith(u"。"), qPrintable(result.error));
    }
}

void TextFileTest::readLinesStopsAfterTheLimit()
{
    EndlessDevice device;
    const text::ReadResult result = text::readLines(device, kName);
    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(u"1024 KiB"), qPrintable(result.error));
    QVERIFY(device.served > text::kMaxFileSize);
    QVERIFY(device.served <= text::kMaxFileSize + 1);
}

void TextFileTest::anyBytesDecode()
{
    // Damaged files of every kind still read, with no NUL left in the text.
    QRandomGenerator random(20240601);
    for (int round = 0; round < 300; ++round) {
        QByteArray bytes(random.bounded(1, 4096), Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random.bounded(256));
        const text::ReadResult result = text::decodeLines(bytes, kName);
        QVERIFY(result.ok);
        QVERIFY(!result.lines.isEmpty());
        for (const QString &line : result.lines)
            QVERIFY(!line.contains(QChar(u'\0')));
    }
}

void TextFileTest::readFile_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("lines of a file") << Setup::File << QByteArray("大钢琴\r\n钟琴\r\n") << true
                                     << QStringList{"大钢琴", "钟琴"};
    QTest::newRow("empty file") << Setup::File << QByteArray() << true << QStringList{};
    QTest::newRow("missing file") << Setup::Missing << QByteArray() << false << QStringList{};
    QTest::newRow("directory") << Setup::Directory << QByteArray() << false << QStringList{};
    QTest::newRow("file over the size limit on disk")
        << Setup::File << QByteArray(text::kMaxFileSize + 1, '\n') << false << QStringList{};
}

void TextFileTest::readFile()
{
    QFETCH(Setup, setup);
    QFETCH(QByteArray, content);
    QFETCH(bool, ok);
    QFETCH(QStringList, lines);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(kName);
    QString reason;
    switch (setup) {
    case Setup::File: {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
        break;
    }
    case Setup::Missing: {
        // The system's own wording for a missing file must reach the user.
        QFile missing(path);
        QVERIFY(!missing.open(QIODevice::ReadOnly));
        reason = missing.errorString();
        break;
    }
    case Setup::Directory:
        QVERIFY(QDir(dir.path()).mkdir(kName));
        break;
    }

    const text::ReadResult result = text::readFile(path);
    QCOMPARE(result.ok, ok);
    QCOMPARE(result.lines, lines);
    if (!ok) {
        QVERIFY2(result.error.startsWith(QStringLiteral("无法读取文件 %1：").arg(QDir::toNativeSeparators(path))),
                 qPrintable(result.error));
        QVERIFY2(result.error.contains(reason), qPrintable(result.error));
    }
}

void TextFileTest::shippedInstrumentNames()
{
    const QString path = sourceFile(QStringLiteral("data/genmidi.txt"));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray bytes = file.readAll();

    QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(bytes.count("\r\n"), 128);
    QCOMPARE(bytes.count('\r'), 128);
    QCOMPARE(bytes.count('\n'), 128);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    utf8.decode(bytes);
    QVERIFY(!utf8.hasError());

    const text::ReadResult result = text::readFile(path);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.lines.size(), 128);
    QCOMPARE(result.lines.at(0), QStringLiteral("大钢琴"));
    QCOMPARE(result.lines.at(9), QStringLiteral("钟琴"));
    for (const QString &name : result.lines)
        QVERIFY2(!name.trimmed().isEmpty() && name.trimmed() == name, qPrintable(name));
}

QTEST_GUILESS_MAIN(TextFileTest)
#include "tst_textfile.moc"
