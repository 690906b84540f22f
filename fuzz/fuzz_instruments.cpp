// loadInstruments with the input as the names file: one entry per line, the first one
// sent as a valid program change, and a file it cannot read reported in one box.

#include "fuzzcheck.h"
#include "limitprobe.h"

#include "dropdownlist.h"
#include "instruments.h"
#include "midi/midiconstants.h"
#include "midi/midiout.h"
#include "recording/recordingplatform.h"
#include "textfile.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class CountingBox final : public midi::ErrorBox
{
public:
    void show(const QString &text) override { texts.append(text); }
    QStringList texts;
};

struct Fixture
{
    QTemporaryDir dir;
    midi::RecordingPlatform platform;
    midi::MidiOut midi{platform};
    CountingBox box;
};

// Made once and never destroyed: libFuzzer may leave through exit() from its own
// threads (time limit, a crash), and Qt torn down at that moment is the wrong report.
QApplication *application = nullptr;
Fixture *fixture = nullptr;

int applicationArgc = 1;
char applicationName[] = "fuzz_instruments";
char *applicationArgv[] = {applicationName, nullptr};

// The bytes each message carries on the wire: status and one data byte for program
// change and channel pressure, status and two data bytes for the other channel messages.
int messageLength(std::uint32_t status)
{
    const std::uint32_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}

bool isValidChannelMessage(std::uint32_t message)
{
    const std::uint32_t status = message & 0xFF;
    if (status < 0x80 || status > 0xEF)
        return false;
    const int length = messageLength(status);
    for (int i = 1; i < 4; ++i) {
        const std::uint32_t byte = message >> (8 * i) & 0xFF;
        if (i < length ? byte > 0x7F : byte != 0)
            return false;
    }
    return true;
}

QStringList entriesOf(const DropDownList &list)
{
    QStringList entries;
    for (int i = 0; i < list.count(); ++i)
        entries << list.widget()->itemText(i);
    return entries;
}

std::string hex(std::uint32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", value);
    return buffer;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    application = new QApplication(applicationArgc, applicationArgv);
    fixture = new Fixture;
    fuzz::require(fixture->dir.isValid(), "a temporary directory for the names file");
    // The fixture outlives main; its directory goes when libFuzzer exits normally.
    std::atexit([] { fixture->dir.remove(); });
    fuzz::require(fixture->midi.openDevice(static_cast<std::int16_t>(-1)), "the recording platform's mapper opens");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Fixture &f = *fixture;
    const QByteArray bytes = fuzz::limitProbe(data, size);
    const QString path = QDir(f.dir.path()).filePath(kInstrumentFile);
    {
        QFile file(path);
        fuzz::require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "the names file opens for writing",
                      [&] { return file.errorString().toStdString(); });
        fuzz::require(file.write(bytes) == bytes.size(), "the names file is written",
                      [&] { return file.errorString().toStdString(); });
    }
    f.platform.clearCalls();
    f.box.texts.clear();
    // Also forgets the last error shown, so no input quiets a box for the next one.
    f.midi.setErrorBox(&f.box);

    QWidget parent;
    DropDownList list(&parent);
    // What the window does on a click of its instrument list.
    QObject::connect(&list, &DropDownList::click, [&f, &list] { sendInstrument(f.midi, list.listIndex()); });
    loadInstruments(list, f.dir.path(), f.box);

    const text::ReadResult expected = text::decodeLines(bytes, path);
    const std::vector<std::uint32_t> messages = f.platform.messages();
    fuzz::require(f.box.texts.size() <= 1, "at most one box per load",
                  [&] { return std::to_string(f.box.texts.size()) + " boxes"; });
    for (const std::uint32_t message : messages)
        fuzz::require(isValidChannelMessage(message), "every message sent is valid MIDI", [&] { return hex(message); });

    if (!expected.ok) {
        fuzz::require(f.box.texts == QStringList{expected.error}, "an unreadable file is reported with its reason",
                      [&] { return f.box.texts.join(u'|').toStdString(); });
        fuzz::require(list.count() == 0, "an unreadable file leaves the list empty");
        fuzz::require(messages.empty(), "an unreadable file sends nothing");
        return 0;
    }
    fuzz::require(f.box.texts.isEmpty(), "a readable file shows no box",
                  [&] { return f.box.texts.join(u'|').toStdString(); });
    fuzz::require(list.count() == expected.lines.size(), "one entry per line", [&] {
        return std::to_string(list.count()) + " entries, " + std::to_string(expected.lines.size()) + " lines";
    });
    fuzz::require(entriesOf(list) == expected.lines, "the entries are the lines read from memory");
    if (list.count() == 0) {
        fuzz::require(list.listIndex() == -1 && messages.empty(), "an empty list selects and sends nothing");
        return 0;
    }
    const std::vector<std::uint32_t> programZero{midi::kControlChange | midi::kBankSelect << 8,
                                                 static_cast<std::uint32_t>(midi::kProgramChange)};
    fuzz::require(list.listIndex() == 0, "entry 0 is selected");
    fuzz::require(messages == programZero, "selecting entry 0 sends bank 0, then program 0");
    return 0;
}
