// What one message to a JACK MIDI port costs the sender, and how long it takes to reach a
// capture client on a private JACK server (dummy backend, 64-frame periods).
// Prints `name: value` lines.

#include "backend.h"
#include "support/jackserver.h"
#include "systemplatform.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace midi;
using testsupport::JackServer;
using testsupport::MidiCapture;

namespace {

constexpr int kSends = 200;

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char **argv)
{
    QString isolation;
    testsupport::privateJackState(&isolation);
    prepareProcess();
    QCoreApplication app(argc, argv);

    JackServer server(JackServer::uniqueName(QStringLiteral("bench-ports")));
    if (server.start() != JackServer::Start::Ready) {
        std::printf("skipped: %s\n", qPrintable(server.errorString()));
        return 77;
    }
    server.useAsDefault();
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

    std::vector<double> costUs;
    std::vector<double> latencyUs;
    for (int i = 0; i < kSends; ++i) {
        // Land the sends at different points of the period.
        std::this_thread::sleep_for(std::chrono::microseconds(700 + i * 389 % 1400));
        const std::uint64_t sentAt = MidiCapture::now();
        const auto before = std::chrono::steady_clock::now();
        const MmResult code = ports.send(handle, 0x007F0090u | std::uint32_t(36 + i % 64) << 8);
        costUs.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - before).count());
        const auto events = sink.waitForEvents(static_cast<std::size_t>(i + 1), std::chrono::milliseconds(500));
        if (code != result::NoError || events.size() != static_cast<std::size_t>(i + 1)) {
            std::printf("failed: message %d was not delivered\n", i);
            return 1;
        }
        latencyUs.push_back(double(events.back().arrivalUsecs - sentAt));
    }
    ports.close(handle);

    std::printf("jack_period_us: %.0f\n", 1e6 * server.periodFrames() / server.sampleRate());
    std::printf("port_send_cost_median_us: %.1f\n", percentile(costUs, 0.5));
    std::printf("port_send_cost_p95_us: %.1f\n", percentile(costUs, 0.95));
    std::printf("port_latency_median_us: %.0f\n", percentile(latencyUs, 0.5));
    std::printf("port_latency_p95_us: %.0f\n", percentile(latencyUs, 0.95));
    std::printf("port_latency_max_us: %.0f\n", percentile(latencyUs, 1.0));
    return 0;
}
