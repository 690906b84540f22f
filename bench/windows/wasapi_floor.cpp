// The floor of the Windows program's sound: how soon a shared-mode WASAPI stream makes heard
// what a client writes into it, and whether it keeps a steady tone going. A Windows program;
// bench/wine_latency runs it under Wine, records where the sound arrives and reads the lines it
// prints, each at the moment it happened on QueryPerformanceCounter, in nanoseconds:
//   clock NS              twenty readings 5 ms apart, to compare the clock with Linux's
//   info NAME VALUE       what the stream was given (buffer, periods, latency, format)
//   click ASKED WRITTEN   a click asked for at ASKED went into the stream at WRITTEN
//   tone FIRST LAST       a steady tone went into the stream from FIRST to LAST
//   info starved N        times the stream was found empty while the tone played
//
// Usage: wasapi_floor [--buffer-ms MS] [--queue-ms MS] [--trials N] [--tone-seconds S]
// The stream is event-driven, the way a low-latency client plays: --buffer-ms is what it asks
// IAudioClient::Initialize for, and at each event it fills the buffer up, or only up to
// --queue-ms ahead of what is playing. What is queued is what a new sound waits behind.

#include <windows.h>

#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <thread>

namespace {

std::int64_t qpcNs()
{
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // In two steps: the count times 10^9 would overflow after about 15 minutes at 10 MHz.
    return now.QuadPart / frequency * 1'000'000'000 + now.QuadPart % frequency * 1'000'000'000 / frequency;
}

[[noreturn]] void die(const char *what, HRESULT result)
{
    std::fprintf(stderr, "wasapi_floor: %s failed: 0x%08lx\n", what, static_cast<unsigned long>(result));
    std::exit(1);
}

void check(HRESULT result, const char *what)
{
    if (FAILED(result))
        die(what, result);
}

template <typename T>
void release(T *&p)
{
    if (p != nullptr)
        p->Release();
    p = nullptr;
}

struct Options
{
    double bufferMs = 10;
    double queueMs = 0;  // the whole buffer
    int trials = 20;
    double toneSeconds = 10;
};

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--buffer-ms") == 0)
            o.bufferMs = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--queue-ms") == 0)
            o.queueMs = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--trials") == 0)
            o.trials = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--tone-seconds") == 0)
            o.toneSeconds = std::atof(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: wasapi_floor [--buffer-ms MS] [--queue-ms MS] [--trials N] [--tone-seconds S]\n");
            std::exit(2);
        }
    }
    return o;
}

// What the render thread plays, asked for by the main thread through atomics alone: the
// render thread neither locks nor allocates.
struct Shared
{
    std::atomic<bool> running{true};
    std::atomic<bool> clickAsked{false};
    std::atomic<std::int64_t> clickWritten{0};
    std::atomic<bool> tone{false};
    std::atomic<std::int64_t> toneFirst{0};
    std::atomic<std::int64_t> toneLast{0};
    std::atomic<int> starved{0};
    std::atomic<HRESULT> failure{S_OK};
};

// 2 ms at half of full scale, far above the -40 dBFS the sound is heard at; a 440 Hz tone at a
// quarter, which no sample of stays below that level for long.
constexpr double kClickSeconds = 0.002;
constexpr float kClickLevel = 0.5f;
constexpr double kToneHz = 440;
constexpr float kToneLevel = 0.25f;

void render(IAudioClient *client, IAudioRenderClient *out, HANDLE ready, UINT32 queueFrames, const WAVEFORMATEX &format,
            Shared &shared)
{
    DWORD task = 0;
    HANDLE mmcss = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task);
    const int channels = format.nChannels;
    const int clickFrames = int(kClickSeconds * format.nSamplesPerSec);
    const double step = 2 * std::numbers::pi * kToneHz / format.nSamplesPerSec;
    double phase = 0;
    int clickLeft = 0;
    while (shared.running.load()) {
        if (WaitForSingleObject(ready, 2000) != WAIT_OBJECT_0)
            continue;
        UINT32 padding = 0;
        HRESULT result = client->GetCurrentPadding(&padding);
        if (FAILED(result)) {
            shared.failure = result;
            break;
        }
        const bool tone = shared.tone.load();
        if (tone && padding == 0 && shared.toneFirst.load() != 0)
            shared.starved.fetch_add(1);
        if (padding >= queueFrames)
            continue;
        const UINT32 frames = queueFrames - padding;
        BYTE *data = nullptr;
        result = out->GetBuffer(frames, &data);
        if (FAILED(result)) {
            shared.failure = result;
            break;
        }
        auto *samples = reinterpret_cast<float *>(data);
        const bool click = shared.clickAsked.exchange(false);
        if (click)
            clickLeft = clickFrames;
        for (UINT32 frame = 0; frame < frames; ++frame) {
            float value = 0;
            if (clickLeft > 0) {
                value = kClickLevel;
                --clickLeft;
            } else if (tone) {
                value = kToneLevel * float(std::sin(phase));
                phase = std::fmod(phase + step, 2 * std::numbers::pi);
            }
            for (int c = 0; c < channels; ++c)
                samples[frame * channels + c] = value;
        }
        result = out->ReleaseBuffer(frames, 0);
        if (FAILED(result)) {
            shared.failure = result;
            break;
        }
        const std::int64_t now = qpcNs();
        if (click)
            shared.clickWritten = now;
        if (tone) {
            std::int64_t none = 0;
            shared.toneFirst.compare_exchange_strong(none, now);
            shared.toneLast = now;
        }
    }
    if (mmcss != nullptr)
        AvRevertMmThreadCharacteristics(mmcss);
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    for (int i = 0; i < 20; ++i) {
        std::printf("clock %lld\n", static_cast<long long>(qpcNs()));
        std::fflush(stdout);
        sleepMs(5);
    }

    check(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
    IMMDeviceEnumerator *devices = nullptr;
    IMMDevice *device = nullptr;
    IAudioClient *client = nullptr;
    IAudioRenderClient *out = nullptr;
    check(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                           reinterpret_cast<void **>(&devices)),
          "creating the device enumerator");
    check(devices->GetDefaultAudioEndpoint(eRender, eConsole, &device), "GetDefaultAudioEndpoint");
    check(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void **>(&client)),
          "activating the audio client");

    // Shared mode plays the mix format without conversion; on Windows it is always 32-bit float.
    WAVEFORMATEX *format = nullptr;
    check(client->GetMixFormat(&format), "GetMixFormat");
    const bool isFloat = format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT
        || (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE
            && reinterpret_cast<WAVEFORMATEXTENSIBLE *>(format)->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    if (!isFloat || format->wBitsPerSample != 32) {
        std::fprintf(stderr, "wasapi_floor: the mix format is not 32-bit float (tag %u, %u bits)\n",
                     format->wFormatTag, format->wBitsPerSample);
        return 1;
    }
    REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
    check(client->GetDevicePeriod(&defaultPeriod, &minimumPeriod), "GetDevicePeriod");
    const auto requested = REFERENCE_TIME(std::llround(o.bufferMs * 10'000));
    check(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, requested, 0, format, nullptr),
          "IAudioClient::Initialize");
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    check(client->SetEventHandle(ready), "SetEventHandle");
    UINT32 bufferFrames = 0;
    check(client->GetBufferSize(&bufferFrames), "GetBufferSize");
    REFERENCE_TIME latency = 0;
    check(client->GetStreamLatency(&latency), "GetStreamLatency");
    check(client->GetService(__uuidof(IAudioRenderClient), reinterpret_cast<void **>(&out)), "GetService");

    std::printf("info rate_hz %lu\ninfo channels %u\n", static_cast<unsigned long>(format->nSamplesPerSec),
                format->nChannels);
    std::printf("info requested_buffer_ms %.1f\ninfo buffer_frames %u\ninfo buffer_ms %.2f\n", o.bufferMs,
                bufferFrames, 1000.0 * bufferFrames / format->nSamplesPerSec);
    std::printf("info device_period_ms %.2f\ninfo minimum_period_ms %.2f\ninfo stream_latency_ms %.2f\n",
                defaultPeriod / 1e4, minimumPeriod / 1e4, latency / 1e4);
    const UINT32 queueFrames = o.queueMs > 0
        ? std::min(bufferFrames, UINT32(std::lround(o.queueMs * format->nSamplesPerSec / 1000)))
        : bufferFrames;
    std::printf("info queue_ms %.2f\n", 1000.0 * queueFrames / format->nSamplesPerSec);
    std::fflush(stdout);

    // Silence first, so that the stream runs before anything is timed.
    BYTE *data = nullptr;
    check(out->GetBuffer(bufferFrames, &data), "GetBuffer");
    check(out->ReleaseBuffer(bufferFrames, AUDCLNT_BUFFERFLAGS_SILENT), "ReleaseBuffer");
    Shared shared;
    check(client->Start(), "IAudioClient::Start");
    std::thread thread(render, client, out, ready, queueFrames, std::cref(*format), std::ref(shared));
    sleepMs(1000);

    // Clicks at moments unrelated to the stream's periods, far enough apart for each to have
    // died away before the next.
    std::mt19937 random(23);
    std::uniform_int_distribution<int> gap(250, 450);
    for (int trial = 0; trial < o.trials && shared.failure == S_OK; ++trial) {
        sleepMs(gap(random));
        shared.clickWritten = 0;
        const std::int64_t asked = qpcNs();
        shared.clickAsked = true;
        while (shared.clickWritten.load() == 0 && shared.failure == S_OK)
            sleepMs(1);
        std::printf("click %lld %lld\n", static_cast<long long>(asked), static_cast<long long>(shared.clickWritten.load()));
        std::fflush(stdout);
    }

    sleepMs(500);
    shared.tone = true;
    sleepMs(int(o.toneSeconds * 1000));
    shared.tone = false;
    sleepMs(300);
    std::printf("tone %lld %lld\ninfo starved %d\n", static_cast<long long>(shared.toneFirst.load()),
                static_cast<long long>(shared.toneLast.load()), shared.starved.load());
    std::fflush(stdout);

    shared.running = false;
    thread.join();
    client->Stop();
    const HRESULT failure = shared.failure;
    CoTaskMemFree(format);
    CloseHandle(ready);
    release(out);
    release(client);
    release(device);
    release(devices);
    CoUninitialize();
    if (FAILED(failure))
        die("playing", failure);
    return 0;
}
