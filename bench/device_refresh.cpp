// The device list filled anew on the GUI thread, with the program's own platform (the
// synthesizer, ALSA and JACK backends) against a private JACK server whose one client offers
// 100 MIDI inputs, on the offscreen platform.
//
//   device_list_refresh_ms          one refresh after news of a change: the ports listed
//                                   through the watching client, the entries replaced
//   device_list_refresh_max_ms      the slowest of the runs
//   device_list_open_ms             what the list costs as it drops down: the look for devices
//                                   nothing announces, then a refresh
//   device_list_open_no_jack_ms     the same with no JACK server: one attempt to reach one
//
// Each is the median over the runs but the maximum. Usage: device_refresh [--runs N] (default 50)

#include "devicelistupdater.h"
#include "dropdownlist.h"
#include "midi/midiout.h"
#include "precisetimer.h"
#include "router/systemplatform.h"
#include "stats.h"
#include "support/jackserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <jack/jack.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kPorts = 100;

[[noreturn]] void die(const QString &why)
{
    std::fprintf(stderr, "device_refresh: %s\n", qPrintable(why));
    std::exit(1);
}

using bench::median;

std::vector<double> timed(int runs, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        const std::int64_t start = song::steadyNow();
        work();
        ms.push_back(double(song::steadyNow() - start) / 1e6);
    }
    return ms;
}

// The window's part: a device list kept by an updater, over the program's platform.
struct DeviceList
{
    std::unique_ptr<midi::MidiPlatform> platform = midi::createSystemPlatform();
    midi::MidiOut midi{*platform};
    QWidget window;
    DropDownList list{&window};
    DeviceListUpdater updater{midi, list, &window};

    DeviceList() { window.show(); }

    void waitForEntries(int count)
    {
        QElapsedTimer waited;
        waited.start();
        while (list.count() < count && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (list.count() < count)
            die(QStringLiteral("the list has %1 entries, not %2").arg(list.count()).arg(count));
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QString isolation;
    testsupport::privateJackState(&isolation);
    // Before any thread starts: the server's name, for RtMidi, which cannot be given one.
    qputenv("JACK_DEFAULT_SERVER", testsupport::JackServer::uniqueName(QStringLiteral("refresh")).toUtf8());
    midi::prepareProcess();
    QApplication app(argc, argv);
    int runs = 50;
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--runs"))
        runs = std::max(1, args.at(2).toInt());

    testsupport::JackServer server(qEnvironmentVariable("JACK_DEFAULT_SERVER"));
    if (server.start() != testsupport::JackServer::Start::Ready)
        die(server.errorString());
    jack_client_t *synth = jack_client_open("synth", JackNoStartServer, nullptr);
    if (synth == nullptr)
        die(QStringLiteral("no JACK client"));
    for (int i = 0; i < kPorts; ++i)
        jack_port_register(synth, ("in" + std::to_string(i)).c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_activate(synth);

    {
        DeviceList devices;
        // The built-in synthesizer's entry comes first, if it found a soundfont.
        devices.waitForEntries(kPorts);
        const int entries = devices.list.count();
        const std::vector<double> refresh = timed(runs, [&] { devices.updater.refresh(); });
        const std::vector<double> open = timed(runs, [&] {
            devices.midi.lookForDevices();
            devices.updater.refresh();
        });
        if (devices.list.count() != entries)
            die(QStringLiteral("the list lost entries"));
        std::printf("device_list_refresh_ms: %.3f\n", median(refresh));
        std::printf("device_list_refresh_max_ms: %.3f\n", *std::max_element(refresh.begin(), refresh.end()));
        std::printf("device_list_open_ms: %.3f\n", median(open));
    }
    jack_client_close(synth);
    server.stop();

    DeviceList devices;
    const std::vector<double> open = timed(runs, [&] {
        devices.midi.lookForDevices();
        devices.updater.refresh();
    });
    std::printf("device_list_open_no_jack_ms: %.3f\n", median(open));
    return 0;
}
