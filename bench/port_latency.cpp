// What one message to a JACK MIDI port costs the sender, and a burst of 1000 sent at once,
// how long one takes to reach a capture client on a private JACK server (dummy backend,
// 64-frame periods), and how far the shipped song's steps land from their grid there,
// played by the song player through the keyboard and the MIDI connection as the program
// plays it. Prints `name: value` lines.

#include "keyboard.h"
#include "midi/midiout.h"
#include "router/backend.h"
#include "router/systemplatform.h"
#include "songplayer.h"
#include "support/jackserver.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace midi;
using testsupport::JackServer;
using testsupport::MidiCapture;

namespace {

constexpr int kSends = 200;
constexpr int kBurst = 1000;
constexpr int kBursts = 20;

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

// The window's part in a song, without the window: the keyboard and the connection.
class SongPiano final : public song::Piano
{
public:
    explicit SongPiano(MidiOut &midi) : midi_(midi), keys_(midi) { keys_.setVelocity(keyboard::kStartVelocity); }

    void selectDevice(int) override {}
    bool selectInstrument(int entry) override
    {
        midi_.programChange(0, 0, std::int16_t(entry));
        return true;
    }
    void setTransposition(int value) override { keys_.setTransposition(std::int16_t(value)); }
    void keyOver(int key) override { keys_.glideOnto(std::int16_t(key)); }
    void setReleased() override { keys_.release(); }
    void mutePad() override { keys_.silence(); }
    void setPlayEnabled(bool enabled) override
    {
        if (enabled)  // the song has ended
            QTimer::singleShot(300, qApp, &QCoreApplication::quit);
    }
    void showError(const QString &text) override { std::printf("failed: %s\n", qPrintable(text)); }
    void setDueTime(std::int64_t dueNs) override { midi_.setDueTime(dueNs); }
    std::int64_t stepLeadNs() override { return midi_.leadNs(); }

private:
    MidiOut &midi_;
    keyboard::Keyboard keys_;
};

// Each step's first note-on at the capture against the 150 ms grid laid through the
// steps, in frames of the server.
void songAtThePort(SystemPlatform &ports, std::uint32_t id, MidiCapture &sink, double rate, const QString &songFile)
{
    MidiOut midi(ports);
    midi.openDevice(std::int16_t(id));
    SongPiano piano(midi);
    song::SongPlayer player(piano, songFile);
    sink.clear();
    QTimer::singleShot(0, &player, &song::SongPlayer::play);
    qApp->exec();
    midi.closeDevice();

    std::vector<double> steps;  // the capture's frame times of the steps, in µs
    for (const MidiCapture::Event &event : sink.events()) {
        const bool noteOn = event.bytes.size() == 3 && (event.bytes[0] & 0xF0) == 0x90 && event.bytes[2] > 0;
        // A step's notes all go out at its frame; the first of them marks the step.
        if (noteOn && (steps.empty() || double(event.frameUsecs) - steps.back() > song::kStepMs * 500.0))
            steps.push_back(double(event.frameUsecs));
    }
    if (steps.size() < 2) {
        std::printf("port_song: no steps reached the port\n");
        return;
    }
    std::vector<double> errors;
    for (const double at : steps) {
        // Hold steps sound nothing: a step's place on the grid is its distance from the first.
        const double k = std::round((at - steps.front()) / (song::kStepMs * 1000.0));
        errors.push_back((at - steps.front() - k * song::kStepMs * 1000.0) * rate / 1e6);
    }
    std::vector<double> sorted = errors;
    std::sort(sorted.begin(), sorted.end());
    const double centre = sorted[sorted.size() / 2];
    for (double &e : errors)
        e = std::fabs(e - centre);
    std::printf("port_song_steps: %zu\n", errors.size());
    std::printf("port_song_error_p50_frames: %.1f\n", percentile(errors, 0.5));
    std::printf("port_song_error_p90_frames: %.1f\n", percentile(errors, 0.9));
    std::printf("port_song_error_max_frames: %.1f\n", percentile(errors, 1.0));
}

} // namespace

int main(int argc, char **argv)
{
    QString isolation;
    testsupport::privateJackState(&isolation);
    // Before any thread starts: the server's name, for RtMidi, which cannot be given one.
    qputenv("JACK_DEFAULT_SERVER", JackServer::uniqueName(QStringLiteral("bench-ports")).toUtf8());
    prepareProcess();
    QCoreApplication app(argc, argv);
    // Usage: port_latency [--song FILE]; the shipped song by default.
    const QStringList arguments = app.arguments();
    const qsizetype songAt = arguments.indexOf(QStringLiteral("--song"));
    const QString songFile = songAt > 0 && songAt + 1 < arguments.size() ? arguments.at(songAt + 1)
                                                                       : QStringLiteral(TIRREL_SOURCE_DIR "/data/haap.txt");

    JackServer server(qEnvironmentVariable("JACK_DEFAULT_SERVER"));
    if (server.start() != JackServer::Start::Ready) {
        std::printf("skipped: %s\n", qPrintable(server.errorString()));
        return 77;
    }
    MidiCapture sink;
    if (!sink.open(server.name(), QStringLiteral("sink"))) {
        std::printf("skipped: %s\n", qPrintable(sink.errorString()));
        return 77;
    }

    SystemPlatform ports;
    ports.addPorts(createJackBackend());
    HMidiOut handle = 0;
    const std::uint32_t count = ports.deviceCount();
    std::uint32_t id = 0;
    DeviceCaps caps;
    while (id < count && !(ports.deviceCaps(id, caps) == result::NoError
                           && QString::fromStdU16String(productName(caps)) == sink.portName()))
        ++id;
    if (id == count || ports.open(handle, id, 0, 0, 0) != result::NoError) {
        std::printf("failed: cannot open %s\n", qPrintable(sink.portName()));
        return 1;
    }

    // A server without real-time scheduling on a busy machine overruns now and then, and
    // the MIDI of an overrun cycle is lost on the way: a trial spoiled so is tried again.
    // A message lost in a cycle that ran to time is the sender's fault.
    int spoiled = 0;
    enum class Delivery { Whole, Spoiled, Lost };
    const auto delivery = [&](std::size_t count, std::chrono::milliseconds timeout, std::size_t xrunsBefore) {
        if (sink.waitForEvents(count, timeout).size() == count)
            return Delivery::Whole;
        if (sink.xruns() == xrunsBefore || ++spoiled > kBursts)
            return Delivery::Lost;
        return Delivery::Spoiled;
    };

    std::vector<double> costUs;
    std::vector<double> latencyUs;
    while (std::ssize(costUs) < kSends) {
        const std::size_t i = costUs.size();
        // Land the sends at different points of the period.
        std::this_thread::sleep_for(std::chrono::microseconds(700 + i * 389 % 1400));
        sink.clear();
        const std::size_t xruns = sink.xruns();
        const std::uint64_t sentAt = MidiCapture::now();
        const auto before = std::chrono::steady_clock::now();
        const MmResult code = ports.send(handle, 0x007F0090u | std::uint32_t(36 + i % 64) << 8);
        const auto cost = std::chrono::steady_clock::now() - before;
        if (code != result::NoError) {
            std::printf("failed: message %zu was refused\n", i);
            return 1;
        }
        const Delivery delivered = delivery(1, std::chrono::milliseconds(500), xruns);
        if (delivered == Delivery::Lost) {
            std::printf("failed: message %zu was not delivered\n", i);
            return 1;
        }
        if (delivered == Delivery::Spoiled)
            continue;
        costUs.push_back(std::chrono::duration<double, std::micro>(cost).count());
        latencyUs.push_back(double(sink.events().back().arrivalUsecs - sentAt));
    }

    // Each burst is delivered before the next, so none finds the output's buffer full.
    std::vector<double> burstUs;
    while (std::ssize(burstUs) < kBursts) {
        sink.clear();
        const std::size_t xruns = sink.xruns();
        const auto before = std::chrono::steady_clock::now();
        for (int i = 0; i < kBurst; ++i) {
            if (ports.send(handle, 0x00003C80u) != result::NoError) {
                std::printf("failed: message %d of a burst was refused\n", i);
                return 1;
            }
        }
        const auto cost = std::chrono::steady_clock::now() - before;
        const Delivery delivered = delivery(kBurst, std::chrono::seconds(2), xruns);
        if (delivered == Delivery::Lost) {
            std::printf("failed: a burst was not delivered\n");
            return 1;
        }
        if (delivered == Delivery::Whole)
            burstUs.push_back(std::chrono::duration<double, std::micro>(cost).count());
    }
    ports.close(handle);
    songAtThePort(ports, id, sink, server.sampleRate(), songFile);

    std::printf("jack_period_us: %.0f\n", 1e6 * server.periodFrames() / server.sampleRate());
    std::printf("port_send_cost_median_us: %.1f\n", percentile(costUs, 0.5));
    std::printf("port_send_cost_p95_us: %.1f\n", percentile(costUs, 0.95));
    std::printf("port_burst_1000_median_us: %.0f\n", percentile(burstUs, 0.5));
    std::printf("port_burst_1000_max_us: %.0f\n", percentile(burstUs, 1.0));
    std::printf("port_latency_median_us: %.0f\n", percentile(latencyUs, 0.5));
    std::printf("port_latency_p95_us: %.0f\n", percentile(latencyUs, 0.95));
    std::printf("port_latency_max_us: %.0f\n", percentile(latencyUs, 1.0));
    std::printf("port_trials_spoiled_by_overruns: %d\n", spoiled);
    return 0;
}
