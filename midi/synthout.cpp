#include "synthout.h"

#include "fluidlog.h"
#include "synth.h"

#include <QCoreApplication>
#include <fluidsynth.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <new>

namespace midi {

namespace {

// Desktop sound server first. JACK comes before ALSA because a running JACK server
// holds the sound card. SDL2 is left out: FluidSynth 2.3 neither initialises SDL's
// audio nor drives it through a render callback, and it would only reach these again.
constexpr const char *kDriverOrder[] = {"pulseaudio", "jack", "alsa", "oss"};

// FluidSynth's PulseAudio driver makes one period the stream's whole buffer; ALSA and OSS
// get periods x period frames; JACK keeps the server's own. Measured against a null sink
// (note-on call to the first sample above -40 dBFS in its monitor, and runs of silence in
// 10 s of a held note): a running stream of 64 frames heard a note after 6.7 ms (median)
// but broke up 108 times, 256 frames after 12.5 ms with 15 breaks, 512 frames after 13-15 ms
// with none. A note that starts from silence is heard sooner (see below).
constexpr int kPeriodFrames = 512;
constexpr int kPeriods = 2;

// A running stream costs its process 4 % of a core at 512 frames (17 % at 64) even in
// silence, so once nothing has sounded for a while the render thread waits for the next
// message. The stream then runs dry and PulseAudio holds it until the next period arrives,
// which it plays at once: a note from that state was heard after 4.5 ms, whatever the period
// size, and the waiting process takes no CPU. Silence means no voice left and the output
// below -80 dBFS, so reverb tails die out before the wait; what remains below that level
// waits in the effects until the next note.
constexpr float kQuietLevel = 1e-4f;
constexpr std::chrono::milliseconds kQuietBeforePause{250};

// A running output asks for a period every few milliseconds. When the sound server goes
// away, FluidSynth's PulseAudio driver logs the failed write and stops asking; when the
// server hangs, its thread blocks without a word. PulseAudio also holds the first write
// until the sink runs, up to two seconds for an idle null sink, so silence counts only
// once the stream has been running. A paused output is silent on purpose: a server that
// went away meanwhile shows at the first write after the next message wakes it.
constexpr std::chrono::milliseconds kSilenceAfterError{50};
constexpr std::chrono::milliseconds kStallLimit{300};
constexpr std::uint64_t kRunningAfterRenders = 3;

constexpr std::uint32_t kSystemReset = 0xFF;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

QStringList offeredDrivers(fluid_settings_t *settings)
{
    QStringList offered;
    fluid_settings_foreach_option(settings, "audio.driver", &offered,
                                  [](void *data, const char *, const char *option) {
                                      static_cast<QStringList *>(data)->append(QString::fromLatin1(option));
                                  });
    return offered;
}

// Where autospawn is on, libpulse (in FluidSynth's PulseAudio driver, and in ALSA's pulse
// plugin) starts a sound server when it finds none. The program must never start one, and
// client.conf cannot be overridden from here, so for the time the outputs are tried the
// daemon it would start is one that exits at once. Restored afterwards so that programs
// started from this one (the browser) keep their own behaviour.
class NoPulseAutospawn
{
public:
    NoPulseAutospawn()
        : wasSet_(qEnvironmentVariableIsSet(kVariable)), old_(qgetenv(kVariable))
    {
        qputenv(kVariable, "/bin/false");
    }
    ~NoPulseAutospawn()
    {
        if (wasSet_)
            qputenv(kVariable, old_);
        else
            qunsetenv(kVariable);
    }
    NoPulseAutospawn(const NoPulseAutospawn &) = delete;
    NoPulseAutospawn &operator=(const NoPulseAutospawn &) = delete;

private:
    static constexpr const char *kVariable = "PULSE_BINARY";
    bool wasSet_;
    QByteArray old_;
};

template<typename Call>
MmResult guarded(Call call) noexcept
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return result::NoMem;
    } catch (...) {
        return result::Error;
    }
}

} // namespace

struct SynthOut::Output
{
    std::unique_ptr<Synth> synth;
    fluid_audio_driver_t *driver = nullptr;
    QString driverName;
    std::uint64_t logMark = 0;
    std::atomic<std::int64_t> lastRenderNs{0};
    std::atomic<std::uint64_t> renders{0};

    // The render thread waits on `wake` while `paused`; every message counts in `messages`,
    // so a message that comes while the thread decides to pause is never left waiting.
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> paused{false};
    bool closing = false;
    std::atomic<std::uint64_t> messages{0};
    std::int64_t quietSinceNs = 0;  // render thread only

    enum class Health { Running, Failed, Stuck };

    // Runs on the audio driver's thread.
    static int render(void *data, int frames, int, float *[], int outputs, float *out[])
    {
        auto *self = static_cast<Output *>(data);
        self->waitWhilePaused();
        const std::uint64_t seen = self->messages.load();
        self->lastRenderNs.store(nowNs(), std::memory_order_relaxed);
        self->renders.fetch_add(1, std::memory_order_relaxed);
        if (outputs < 2 || !self->synth->render(frames, out[0], out[1]))
            return FLUID_FAILED;
        self->pauseIfQuiet(seen, frames, out[0], out[1]);
        return FLUID_OK;
    }

    void waitWhilePaused()
    {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return !paused.load() || closing; });
    }

    void pauseIfQuiet(std::uint64_t seen, int frames, const float *left, const float *right)
    {
        const auto loud = [](float sample) { return std::fabs(sample) >= kQuietLevel; };
        if (synth->activeVoices() > 0 || std::any_of(left, left + frames, loud)
            || std::any_of(right, right + frames, loud)) {
            quietSinceNs = 0;
            return;
        }
        const std::int64_t now = nowNs();
        if (quietSinceNs == 0)
            quietSinceNs = now;
        if (std::chrono::nanoseconds(now - quietSinceNs) < kQuietBeforePause)
            return;
        const std::lock_guard lock(mutex);
        if (messages.load() == seen && !closing) {
            paused.store(true);
            quietSinceNs = 0;
        }
    }

    // After every message. Only a message that left something sounding wakes a waiting
    // thread: a key press sends the previous key's note-off just before its note-on, and
    // waking for the note-off would start the stream with a silent period, putting the
    // note one period later.
    void resume()
    {
        const bool sounding = synth->activeVoices() > 0;
        {
            const std::lock_guard lock(mutex);
            messages.fetch_add(1);
            if (!paused.load() || !sounding)
                return;
            lastRenderNs.store(nowNs());
            paused.store(false);
        }
        wake.notify_one();
    }

    void stopWaiting()
    {
        {
            const std::lock_guard lock(mutex);
            closing = true;
        }
        wake.notify_one();
    }

    std::chrono::nanoseconds silentFor() const
    {
        return std::chrono::nanoseconds(nowNs() - lastRenderNs.load(std::memory_order_relaxed));
    }

    Health health(const QStringList &errorsSinceStart) const
    {
        if (paused.load())
            return Health::Running;
        if (!errorsSinceStart.isEmpty() && silentFor() > kSilenceAfterError)
            return Health::Failed;
        if (renders.load(std::memory_order_relaxed) >= kRunningAfterRenders && silentFor() > kStallLimit)
            return Health::Stuck;
        return Health::Running;
    }
};

SynthOut::SynthOut()
    : SynthOut(Synth::soundFontCandidates(QCoreApplication::instance() != nullptr
                                              ? QCoreApplication::applicationDirPath()
                                              : QString()))
{
}

SynthOut::SynthOut(QStringList soundFontCandidates)
    : soundFontCandidates_(std::move(soundFontCandidates))
{
    // libjack starts a server when it finds none, which on a machine without a JACK
    // setup fails only after seconds and may take the sound card from the desktop.
    qputenv("JACK_NO_START_SERVER", "1");
    FluidLog::install();
}

SynthOut::~SynthOut()
{
    closeOutput();
}

std::uint32_t SynthOut::deviceCount()
{
    return 0;
}

MmResult SynthOut::deviceCaps(std::uint32_t deviceId, DeviceCaps &caps)
{
    return guarded([&] {
        if (deviceId != kMidiMapper)
            return reasons_.fail(result::BadDeviceId);
        if (Synth::findSoundFont(soundFontCandidates_).isEmpty())
            return reasons_.fail(result::NoDriver, QStringLiteral("找不到 General MIDI 音色库（.sf2/.sf3）"));
        int major = 0, minor = 0, micro = 0;
        fluid_version(&major, &minor, &micro);
        caps = DeviceCaps{};
        caps.driverVersion = static_cast<std::uint32_t>((major << 8) | minor);
        setProductName(caps, u"内置合成器 (FluidSynth)");
        caps.technology = kModSwSynth;
        caps.voices = Synth::kPolyphony;
        caps.notes = Synth::kPolyphony;
        caps.channelMask = 0xFFFF;
        return result::NoError;
    });
}

MmResult SynthOut::open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t, std::uintptr_t,
                        std::uint32_t flags)
{
    return guarded([&] {
        if (deviceId != kMidiMapper)
            return reasons_.fail(result::BadDeviceId);
        // Only CALLBACK_NULL: the synthesizer has nothing to call back about.
        if (flags != 0)
            return reasons_.fail(result::InvalidFlag);
        if (output_)
            return reasons_.fail(result::Allocated);
        handle = 0;
        const MmResult opened = openOutput(handle);
        if (opened != result::NoError)
            closeOutput();
        return opened;
    });
}

MmResult SynthOut::close(HMidiOut handle)
{
    return guarded([&] {
        if (!output_ || handle != handle_)
            return reasons_.fail(result::InvalidHandle);
        closeOutput();
        return result::NoError;
    });
}

MmResult SynthOut::send(HMidiOut handle, std::uint32_t message)
{
    return guarded([&] {
        if (!output_ || handle != handle_)
            return reasons_.fail(result::InvalidHandle);
        if (const MmResult audio = checkAudio(); audio != result::NoError)
            return audio;
        if (!output_->synth->apply(message)) {
            return reasons_.fail(result::InvalidParam,
                                 QStringLiteral("0x%1 不是合成器能演奏的短消息").arg(message, 8, 16, QLatin1Char('0')));
        }
        output_->resume();
        return result::NoError;
    });
}

MmResult SynthOut::errorText(MmResult code, char16_t *text, std::uint32_t chars)
{
    return guarded([&] {
        if (text == nullptr || chars == 0)
            return result::InvalidParam;
        return reasons_.getErrorText(code, text, chars);
    });
}

MmResult SynthOut::openOutput(HMidiOut &handle)
{
    output_ = std::make_unique<Output>();
    output_->synth = std::make_unique<Synth>();
    if (!output_->synth->isValid())
        return reasons_.fail(result::NoMem, QStringLiteral("FluidSynth 未能创建合成器"));
    QString error;
    if (!output_->synth->loadSoundFont(soundFontCandidates_, error))
        return reasons_.fail(result::NoDriver, error);
    if (const MmResult audio = startAudio(); audio != result::NoError)
        return audio;

    if (++lastHandle_ == 0)
        ++lastHandle_;
    handle_ = lastHandle_;
    handle = handle_;
    return result::NoError;
}

namespace {
// FluidSynth's failures end in the system's own words ("... failed with error: Connection
// refused"); those are what the user needs, and the box has little room.
QString lastClause(const QString &line)
{
    const qsizetype colon = line.lastIndexOf(QStringLiteral(": "));
    return colon < 0 ? line : line.mid(colon + 2);
}
} // namespace

MmResult SynthOut::startAudio()
{
    fluid_settings_t *settings = output_->synth->settings();
    fluid_settings_setint(settings, "audio.period-size", kPeriodFrames);
    fluid_settings_setint(settings, "audio.periods", kPeriods);
    // Off, the server holds no more than the one period FluidSynth writes; on, it may size
    // the buffer as it likes.
    fluid_settings_setint(settings, "audio.pulseaudio.adjust-latency", 0);
    // Unconnected JACK ports play into nothing.
    fluid_settings_setint(settings, "audio.jack.autoconnect", 1);
    fluid_settings_setstr(settings, "audio.jack.id", "Tirrel");

    const QStringList offered = offeredDrivers(settings);
    const NoPulseAutospawn noAutospawn;
    QStringList tried;
    QStringList said;
    for (const char *name : kDriverOrder) {
        if (!offered.contains(QLatin1String(name)))
            continue;
        fluid_settings_setstr(settings, "audio.driver", name);
        const std::uint64_t mark = FluidLog::mark();
        output_->lastRenderNs.store(nowNs());
        output_->driver = new_fluid_audio_driver2(settings, &Output::render, output_.get());
        if (output_->driver != nullptr) {
            output_->driverName = QString::fromLatin1(name);
            output_->logMark = FluidLog::mark();
            return result::NoError;
        }
        tried << QString::fromLatin1(name);
        const QStringList errors = FluidLog::errorsSince(mark);
        said << QStringLiteral("%1：%2").arg(QLatin1String(name),
                                            errors.isEmpty() ? QStringLiteral("未能启动") : lastClause(errors.last()));
    }
    if (tried.isEmpty())
        return reasons_.fail(result::NoDriver, QStringLiteral("这个 FluidSynth 没有可用的声音输出"));
    // The list of outputs goes first: the error box has room for only about a hundred characters.
    return reasons_.fail(result::NotEnabled, QStringLiteral("试过 %1，声音输出都未能启动。%2")
                                                  .arg(tried.join(QStringLiteral("、")), said.join(QStringLiteral("；"))));
}

MmResult SynthOut::checkAudio()
{
    const QStringList errors = FluidLog::errorsSince(output_->logMark);
    switch (output_->health(errors)) {
    case Output::Health::Running:
        return result::NoError;
    case Output::Health::Failed:
        return reasons_.fail(result::MidiNotReady,
                             QStringLiteral("声音输出 %1 已停止：%2").arg(output_->driverName, errors.last()));
    case Output::Health::Stuck:
        break;
    }
    const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(output_->silentFor());
    return reasons_.fail(result::MidiNotReady, QStringLiteral("声音输出 %1 已停止：已有 %2 毫秒没有取声音数据")
                                                   .arg(output_->driverName).arg(silent.count()));
}

// Outputs whose thread hangs in the sound server's client library, kept for the rest of
// the run since that thread may still render from them. The list is never destroyed: at
// exit its destructor would wait for those threads.
std::vector<SynthOut::Output *> &SynthOut::leftBehind()
{
    static auto *outputs = new std::vector<Output *>;
    return *outputs;
}

// Reverse order of creation: the driver's thread renders from the synthesizer, which
// reads the settings.
void SynthOut::closeOutput()
{
    handle_ = 0;
    if (!output_)
        return;
    if (output_->driver != nullptr) {
        if (output_->health(FluidLog::errorsSince(output_->logMark)) == Output::Health::Stuck) {
            // Its thread is blocked in the sound server's client library (the server hangs)
            // and would never join, freezing the program. It is left behind with everything it
            // renders from, silenced in case the server wakes up.
            output_->synth->apply(kSystemReset);
            leftBehind().push_back(output_.release());
            return;
        }
        output_->stopWaiting();
        delete_fluid_audio_driver(output_->driver);
        output_->driver = nullptr;
    }
    output_->synth.reset();
    output_.reset();
}

} // namespace midi
