#include "synth/output.h"

#include "synth/engine.h"
#include "synth/fluidlog.h"
#include "synth/pulsestream.h"
#include "synth/renderer.h"
#ifdef TIRREL_HAVE_PIPEWIRE
#include "synth/pipewirestream.h"
#endif

#include <fluidsynth.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace midi {

namespace {

using namespace std::chrono_literals;

// Desktop sound server first, through a stream of the program's own (see synth/pipewirestream.h
// and synth/pulsestream.h): PipeWire natively where it serves the desktop, else the PulseAudio
// protocol. JACK comes before ALSA because a running JACK server holds the sound card. SDL2
// is left out: FluidSynth 2.3 neither initialises SDL's audio nor drives it through a render
// callback, and it would only reach these again.
constexpr char kPipeWire[] = "pipewire";
constexpr char kPulseAudio[] = "pulseaudio";
constexpr const char *kOutputOrder[] = {kPipeWire, kPulseAudio, "jack", "alsa", "oss"};

// Which server serves the desktop is asked through the PulseAudio protocol, which PipeWire
// serves too: a desktop whose sound server is PulseAudio may still have PipeWire's socket
// enabled on demand, and connecting to it would start a PipeWire daemon with nothing to
// play into. A server that answers at all answers in a millisecond or two.
constexpr int kServerQuestionMs = 500;

// The quantum the PipeWire stream asks for. Measured here in three 60 s glides each, with
// the X server, the window and the pointer keeping both cores busy (bench/pianobench): at
// 64 frames a key was heard 2.6-4.2 ms after the pointer reached it, but the sound broke up
// 22 to 51 times, as the data thread now and then woke a cycle late; at 128 frames 4.9-5.5 ms
// and 0 to 10 breaks; at 256 frames 8.9-9.2 ms and 0 to 3.
constexpr int kPipeWireQuantum = 128;
// How far ahead a song's steps are sent to the PipeWire stream: more than a timer of this
// program wakes late on a busy machine (up to 3.5 ms here with both cores busy).
constexpr int kPipeWireLeadFrames = 256;

// One period is the PulseAudio stream's whole buffer; ALSA and OSS get periods x period
// frames; JACK keeps the server's own. Measured against a null sink (note-on call to the
// first sample above -40 dBFS in its monitor, and runs of silence in 10 s of a held note):
// a running stream of 64 frames heard a note after 6.7 ms (median) but broke up 108 times,
// 256 frames after 12.5 ms with 15 breaks, 512 frames after 13-15 ms with none. A note that
// starts from silence is heard sooner (see below).
constexpr int kPeriodFrames = 512;
constexpr int kPeriods = 2;

// A rendering output asks for sound every few milliseconds. When the sound server goes
// away, FluidSynth's outputs log the failure and stop asking, and a server that hangs
// stops asking without a word. PulseAudio holds the first write until the sink runs, up
// to two seconds for an idle null sink, so silence counts only once the output has run.
constexpr auto kSilenceAfterError = 50ms;
constexpr auto kStallLimit = 300ms;
constexpr std::uint64_t kRunningAfterRenders = 3;

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

// FluidSynth's render callback, for its own outputs: silence while rendering pauses.
int renderForDriver(void *data, int frames, int, float *[], int outputs, float *out[])
{
    if (outputs < 2)
        return FLUID_FAILED;
    if (!static_cast<SynthRenderer *>(data)->render(frames, out[0], out[1], 0)) {
        std::fill_n(out[0], frames, 0.0f);
        std::fill_n(out[1], frames, 0.0f);
    }
    return FLUID_OK;
}

// Where PipeWire serves the desktop, the rate its graph runs at, which the synthesizer then
// renders at; elsewhere nothing, and the other servers resample as they must.
std::optional<double> pipeWireRate()
{
#ifdef TIRREL_HAVE_PIPEWIRE
    const std::optional<QString> server = PulseStream::serverName(kServerQuestionMs);
    if (server && server->contains(QLatin1String("PipeWire")))
        return PipeWireStream::kRate;
#endif
    return std::nullopt;
}

} // namespace

SynthOutput::SynthOutput(std::unique_ptr<SynthEngine> synth)
    : synth_(std::move(synth))
    , renderer_(std::make_unique<SynthRenderer>(*synth_))
{
}

std::unique_ptr<SynthOutput> SynthOutput::start(const MakeSynth &makeSynth, Failure &failure)
{
    const std::optional<double> pipeWire = pipeWireRate();
    std::unique_ptr<SynthEngine> synth = makeSynth(pipeWire.value_or(SynthEngine::kSampleRate), failure);
    if (!synth)
        return nullptr;
    std::unique_ptr<SynthOutput> output(new SynthOutput(std::move(synth)));
    fluid_settings_t *settings = output->synth_->settings();
    fluid_settings_setint(settings, "audio.period-size", kPeriodFrames);
    fluid_settings_setint(settings, "audio.periods", kPeriods);
    // Unconnected JACK ports play into nothing.
    fluid_settings_setint(settings, "audio.jack.autoconnect", 1);
    fluid_settings_setstr(settings, "audio.jack.id", "Tirrel");

    QStringList offered = offeredDrivers(settings) << QLatin1String(kPulseAudio);
    if (pipeWire)
        offered << QLatin1String(kPipeWire);
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
#ifdef TIRREL_HAVE_PIPEWIRE
    if (outputName_ == QLatin1String(kPipeWire)) {
        renderer_->setLeadFrames(kPipeWireLeadFrames);
        stream_ = PipeWireStream::open(*renderer_, synth_->sampleRate(), kPipeWireQuantum, error);
        return stream_ != nullptr;
    }
#endif
    if (outputName_ == QLatin1String(kPulseAudio)) {
        renderer_->setLeadFrames(kPeriodFrames);
        stream_ = PulseStream::open(*renderer_, synth_->sampleRate(), kPeriodFrames, error);
        return stream_ != nullptr;
    }
    fluid_settings_t *settings = synth_->settings();
    fluid_settings_setstr(settings, "audio.driver", name);
    const std::uint64_t mark = FluidLog::mark();
    driver_ = new_fluid_audio_driver2(settings, &renderForDriver, renderer_.get());
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
// its destructor would wait for those threads. The program's own streams never block on
// the server and always close.
struct SynthOutput::Remains
{
    std::unique_ptr<SynthEngine> synth;
    std::unique_ptr<SynthRenderer> renderer;
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
    stream_.reset();
    if (driver_ == nullptr)
        return;
    if (renderer_->renders() >= kRunningAfterRenders && renderer_->silentFor() > kStallLimit) {
        // Silenced, in case the server wakes up.
        renderer_->send(*ShortMessage::unpack(pack(kSystemReset)));
        leftBehind().push_back(new Remains{std::move(synth_), std::move(renderer_), driver_});
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
    if (stream_) {
        if (const std::optional<QString> why = stream_->failure())
            return stopped(*why);
    } else {
        const QStringList errors = FluidLog::errorsSince(logMark_);
        if (!errors.isEmpty() && renderer_->silentFor() > kSilenceAfterError)
            return stopped(errors.last());
    }
    // A stream that declined the server's requests while idle is not asked again.
    const bool askedFor = renderer_->rendering() || !stream_;
    if (askedFor && renderer_->renders() >= kRunningAfterRenders && renderer_->silentFor() > kStallLimit) {
        const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(renderer_->silentFor());
        return stopped(QStringLiteral("已有 %1 毫秒没有取声音数据").arg(silent.count()));
    }
    return std::nullopt;
}

void SynthOutput::track(ShortMessage message)
{
    if (message.status() == kSystemReset)
        held_.reset();
    if (!message.isChannelMessage())
        return;
    const auto at = [&](int key) { return std::size_t(message.channel() * kKeys + key); };
    switch (message.kind()) {
    case kNoteOn:
        held_.set(at(message.data1()), message.data2() > 0);
        break;
    case kNoteOff:
        held_.reset(at(message.data1()));
        break;
    case kControlChange:
        if (message.data1() == kAllSoundOff || message.data1() == kAllNotesOff) {
            for (int key = 0; key < kKeys; ++key)
                held_.reset(at(key));
        }
        break;
    }
    renderer_->setHeldNotes(static_cast<int>(held_.count()));
}

std::optional<Failure> SynthOutput::sendAt(ShortMessage message, std::int64_t dueNs)
{
    if (auto failure = health())
        return failure;
    track(message);
    const SynthRenderer::Sent sent = renderer_->send(message, dueNs);
    if (sent == SynthRenderer::Sent::Full)
        return Failure{result::MidiNotReady, QStringLiteral("声音输出 %1 没有取走已发出的 MIDI 消息。").arg(outputName_)};
    // Only a note that sounds, or a message left for the audio thread, wakes the output: a
    // key press sends the previous key's note-off just before its note-on, and waking for
    // the note-off would start the stream with a silent period, putting the note one
    // period later.
    if ((message.startsNote() || sent == SynthRenderer::Sent::Queued) && renderer_->wake() && stream_)
        stream_->kick();
    return std::nullopt;
}

std::chrono::nanoseconds SynthOutput::lead() const
{
    return renderer_->lead();
}

} // namespace midi
