#include "synthoutput.h"

#include "fluidlog.h"
#include "pulsestream.h"
#include "synth.h"

#include <fluidsynth.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <vector>

namespace midi {

namespace {

using namespace std::chrono_literals;

// Desktop sound server first, through a stream of the program's own (see pulsestream.h).
// JACK comes before ALSA because a running JACK server holds the sound card. SDL2 is left
// out: FluidSynth 2.3 neither initialises SDL's audio nor drives it through a render
// callback, and it would only reach these again.
constexpr char kPulseAudio[] = "pulseaudio";
constexpr const char *kOutputOrder[] = {kPulseAudio, "jack", "alsa", "oss"};

// One period is the PulseAudio stream's whole buffer; ALSA and OSS get periods x period
// frames; JACK keeps the server's own. Measured against a null sink (note-on call to the
// first sample above -40 dBFS in its monitor, and runs of silence in 10 s of a held note):
// a running stream of 64 frames heard a note after 6.7 ms (median) but broke up 108 times,
// 256 frames after 12.5 ms with 15 breaks, 512 frames after 13-15 ms with none. A note that
// starts from silence is heard sooner (see below).
constexpr int kPeriodFrames = 512;
constexpr int kPeriods = 2;

// A running stream costs its process 4 % of a core at 512 frames (17 % at 64) even in
// silence, so once nothing has sounded for a while the output stops rendering: the
// PulseAudio stream runs dry and takes no CPU, and PulseAudio plays the next period at once
// (a note from that state was heard after 4.5 ms, whatever the period size); FluidSynth's
// outputs get silence without rendering. Silence means no note held and the output below
// -80 dBFS, so reverb tails die out first; what remains below that level waits in the
// effects until the next note.
constexpr float kQuietLevel = 1e-4f;
constexpr std::int64_t kQuietBeforeStopNs = std::chrono::nanoseconds(250ms).count();

// A rendering output asks for sound every few milliseconds. When the sound server goes
// away, FluidSynth's outputs log the failure and stop asking, and a server that hangs
// stops asking without a word. PulseAudio holds the first write until the sink runs, up
// to two seconds for an idle null sink, so silence counts only once the output has run.
constexpr auto kSilenceAfterError = 50ms;
constexpr auto kStallLimit = 300ms;
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

// FluidSynth's failures end in the system's own words ("... failed with error: Connection
// refused"); those are what the user needs, and the box has little room.
QString lastClause(const QString &line)
{
    const qsizetype colon = line.lastIndexOf(QStringLiteral(": "));
    return colon < 0 ? line : line.mid(colon + 2);
}

} // namespace

// What the audio thread renders from, and the little it shares with the sending side.
class SynthOutput::Source final : public SoundSource
{
public:
    explicit Source(Synth &synth) : synth_(synth) { lastLoudNs_.store(nowNs()); }

    // On the audio thread.
    bool render(int frames, float *left, float *right) override
    {
        const std::int64_t now = nowNs();
        lastRenderNs_.store(now, std::memory_order_relaxed);
        renders_.fetch_add(1, std::memory_order_relaxed);
        std::uint64_t state = state_.load(std::memory_order_acquire);
        if ((state & kRendering) == 0)
            return false;
        synth_.render(frames, left, right);
        const auto loud = [](float sample) { return std::fabs(sample) >= kQuietLevel; };
        if (std::any_of(left, left + frames, loud) || std::any_of(right, right + frames, loud))
            lastLoudNs_.store(now, std::memory_order_relaxed);
        else if (held_.load(std::memory_order_relaxed) == 0
                 && now - lastLoudNs_.load(std::memory_order_relaxed) >= kQuietBeforeStopNs)
            // Fails, and rendering goes on, if the sending side has woken it since `state` was read.
            state_.compare_exchange_strong(state, state & ~kRendering);
        return true;
    }

    // Fluid's render callback, for its own outputs: silence while nothing renders.
    static int renderForDriver(void *data, int frames, int, float *[], int outputs, float *out[])
    {
        if (outputs < 2)
            return FLUID_FAILED;
        if (!static_cast<Source *>(data)->render(frames, out[0], out[1])) {
            std::fill_n(out[0], frames, 0.0f);
            std::fill_n(out[1], frames, 0.0f);
        }
        return FLUID_OK;
    }

    // On the sending side, after a message that left a note sounding. True if the output
    // was not rendering, and a stream that declined the server's requests must be asked again.
    bool wake()
    {
        lastLoudNs_.store(nowNs());
        state_.fetch_add(kWakeUp);
        const bool wasIdle = (state_.fetch_or(kRendering) & kRendering) == 0;
        // An output that stopped asking for sound while idle has not stalled.
        if (wasIdle)
            lastRenderNs_.store(nowNs());
        return wasIdle;
    }

    void setHeld(int notes) { held_.store(notes, std::memory_order_relaxed); }
    bool rendering() const { return (state_.load() & kRendering) != 0; }
    std::uint64_t renders() const { return renders_.load(std::memory_order_relaxed); }
    std::chrono::nanoseconds silentFor() const { return std::chrono::nanoseconds(nowNs() - lastRenderNs_.load()); }

private:
    // Bit 0 says whether the output renders; the bits above count the wake-ups, so that a
    // decision of the audio thread to stop never undoes a wake-up that came meanwhile.
    static constexpr std::uint64_t kRendering = 1;
    static constexpr std::uint64_t kWakeUp = 2;

    Synth &synth_;
    std::atomic<std::uint64_t> state_{kRendering};
    std::atomic<std::int64_t> lastRenderNs_{0};
    std::atomic<std::int64_t> lastLoudNs_{0};
    std::atomic<std::uint64_t> renders_{0};
    std::atomic<int> held_{0};
};

SynthOutput::SynthOutput(std::unique_ptr<Synth> synth)
    : synth_(std::move(synth))
    , source_(std::make_unique<Source>(*synth_))
{
}

std::unique_ptr<SynthOutput> SynthOutput::start(std::unique_ptr<Synth> synth, Failure &failure)
{
    std::unique_ptr<SynthOutput> output(new SynthOutput(std::move(synth)));
    fluid_settings_t *settings = output->synth_->settings();
    fluid_settings_setint(settings, "audio.period-size", kPeriodFrames);
    fluid_settings_setint(settings, "audio.periods", kPeriods);
    // Unconnected JACK ports play into nothing.
    fluid_settings_setint(settings, "audio.jack.autoconnect", 1);
    fluid_settings_setstr(settings, "audio.jack.id", "Tirrel");

    const QStringList offered = offeredDrivers(settings) << QLatin1String(kPulseAudio);
    QStringList tried;
    QStringList said;
    for (const char *name : kOutputOrder) {
        if (!offered.contains(QLatin1String(name)))
            continue;
        QString error;
        if (output->startOutput(name, error))
            return output;
        tried << QString::fromLatin1(name);
        said << QStringLiteral("%1：%2").arg(QLatin1String(name), error);
    }
    if (tried.isEmpty())
        failure = {result::NoDriver, QStringLiteral("这个 FluidSynth 没有可用的声音输出")};
    else  // The list of outputs goes first: the error box has room for only about a hundred characters.
        failure = {result::NotEnabled, QStringLiteral("试过 %1，声音输出都未能启动。%2")
                                           .arg(tried.join(QStringLiteral("、")), said.join(QStringLiteral("；")))};
    return nullptr;
}

bool SynthOutput::startOutput(const char *name, QString &error)
{
    outputName_ = QString::fromLatin1(name);
    if (outputName_ == QLatin1String(kPulseAudio)) {
        pulse_ = PulseStream::open(*source_, Synth::kSampleRate, kPeriodFrames, error);
        return pulse_ != nullptr;
    }
    fluid_settings_t *settings = synth_->settings();
    fluid_settings_setstr(settings, "audio.driver", name);
    const std::uint64_t mark = FluidLog::mark();
    driver_ = new_fluid_audio_driver2(settings, &Source::renderForDriver, source_.get());
    if (driver_ == nullptr) {
        const QStringList errors = FluidLog::errorsSince(mark);
        error = errors.isEmpty() ? QStringLiteral("未能启动") : lastClause(errors.last());
        return false;
    }
    logMark_ = FluidLog::mark();
    return true;
}

// FluidSynth's outputs whose thread hangs in the sound server's client library (the server
// hangs), with what they render from: closing one would wait for that thread for good. Kept
// for the rest of the run, since the thread may still render; never destroyed, as at exit
// its destructor would wait for those threads. The program's own PulseAudio stream never
// blocks on the server and always closes.
struct SynthOutput::Remains
{
    std::unique_ptr<Synth> synth;
    std::unique_ptr<Source> source;
    fluid_audio_driver_t *driver;
};

std::vector<SynthOutput::Remains *> &SynthOutput::leftBehind()
{
    static auto *remains = new std::vector<Remains *>;
    return *remains;
}

// Reverse order of creation: the output renders from the synthesizer, which reads the settings.
SynthOutput::~SynthOutput()
{
    pulse_.reset();
    if (driver_ == nullptr)
        return;
    if (source_->renders() >= kRunningAfterRenders && source_->silentFor() > kStallLimit) {
        synth_->apply(kSystemReset);  // silenced, in case the server wakes up
        leftBehind().push_back(new Remains{std::move(synth_), std::move(source_), driver_});
        return;
    }
    delete_fluid_audio_driver(driver_);
}

std::optional<Failure> SynthOutput::health()
{
    if (failure_)
        return failure_;
    const auto stopped = [this](const QString &why) {
        failure_ = Failure{result::MidiNotReady, QStringLiteral("声音输出 %1 已停止：%2").arg(outputName_, why)};
        return failure_;
    };
    if (pulse_) {
        if (const std::optional<QString> why = pulse_->failure())
            return stopped(*why);
    } else {
        const QStringList errors = FluidLog::errorsSince(logMark_);
        if (!errors.isEmpty() && source_->silentFor() > kSilenceAfterError)
            return stopped(errors.last());
    }
    // A stream that declined the server's requests while idle is not asked again.
    const bool askedFor = source_->rendering() || !pulse_;
    if (askedFor && source_->renders() >= kRunningAfterRenders && source_->silentFor() > kStallLimit) {
        const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(source_->silentFor());
        return stopped(QStringLiteral("已有 %1 毫秒没有取声音数据").arg(silent.count()));
    }
    return std::nullopt;
}

void SynthOutput::track(std::uint32_t message)
{
    const int status = message & 0xFF;
    const int channel = status & 0x0F;
    const int data1 = (message >> 8) & 0x7F;
    const int data2 = (message >> 16) & 0x7F;
    const auto clearChannel = [&] {
        for (int note = 0; note < 128; ++note)
            held_.reset(std::size_t(channel * 128 + note));
    };
    switch (status & 0xF0) {
    case 0x90:
        held_.set(std::size_t(channel * 128 + data1), data2 > 0);
        break;
    case 0x80:
        held_.reset(std::size_t(channel * 128 + data1));
        break;
    case 0xB0:
        if (data1 == 120 || data1 == 123)  // all sound off, all notes off
            clearChannel();
        break;
    default:
        if (status == kSystemReset)
            held_.reset();
        break;
    }
    source_->setHeld(static_cast<int>(held_.count()));
}

std::optional<Failure> SynthOutput::send(std::uint32_t message)
{
    if (auto failure = health())
        return failure;
    if (!synth_->apply(message))
        return Failure{result::InvalidParam,
                       QStringLiteral("0x%1 不是合成器能演奏的短消息").arg(message, 8, 16, QLatin1Char('0'))};
    track(message);
    // Only a note that sounds wakes the output: a key press sends the previous key's
    // note-off just before its note-on, and waking for the note-off would start the stream
    // with a silent period, putting the note one period later.
    const bool sounds = (message & 0xF0) == 0x90 && ((message >> 16) & 0x7F) > 0;
    if (sounds && source_->wake() && pulse_)
        pulse_->kick();
    return std::nullopt;
}

} // namespace midi
