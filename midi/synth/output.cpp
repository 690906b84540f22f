#include "synth/output.h"

#include "synth/engine.h"
#include "synth/fluidlog.h"
#include "synth/renderer.h"
#include "synth/systemchoices.h"

#include <fluidsynth.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace midi {

namespace {

using namespace std::chrono_literals;

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

} // namespace

SynthOutput::SynthOutput(std::unique_ptr<SynthEngine> synth)
    : synth_(std::move(synth))
    , renderer_(std::make_unique<SynthRenderer>(*synth_))
{
}

std::unique_ptr<SynthOutput> SynthOutput::start(const MakeSynth &makeSynth, Failure &failure)
{
    // The system's outputs, in the order it gives them (synth/systemchoices.h): the
    // program's own streams always, FluidSynth's drivers where it was built with them.
    const AudioOutputPlan plan = systemAudioOutputs();
    std::unique_ptr<SynthEngine> synth = makeSynth(plan.sampleRate, failure);
    if (!synth)
        return nullptr;
    std::unique_ptr<SynthOutput> output(new SynthOutput(std::move(synth)));
    const QStringList offered = offeredDrivers(output->synth_->settings());
    QStringList tried;
    QStringList said;
    for (const AudioOutputKind &kind : plan.outputs) {
        if (kind.openStream == nullptr && !offered.contains(QLatin1String(kind.name)))
            continue;
        QString error;
        if (output->startOutput(kind, error))
            return output;
        tried << QString::fromLatin1(kind.name);
        said << QStringLiteral("%1：%2").arg(QLatin1String(kind.name), error);
    }
    if (tried.isEmpty())
        failure = {result::NoDriver, QStringLiteral("这个 FluidSynth 没有可用的声音输出")};
    else  // The list of outputs goes first: the error box has room for only about a hundred characters.
        failure = {result::NotEnabled, QStringLiteral("试过 %1，声音输出都未能启动。%2")
                                           .arg(tried.join(QStringLiteral("、")), said.join(QStringLiteral("；")))};
    return nullptr;
}

bool SynthOutput::startOutput(const AudioOutputKind &kind, QString &error)
{
    outputName_ = QString::fromLatin1(kind.name);
    if (kind.openStream != nullptr) {
        stream_ = kind.openStream(*renderer_, synth_->sampleRate(), error);
        return stream_ != nullptr;
    }
    fluid_settings_t *settings = synth_->settings();
    if (kind.configure != nullptr)
        kind.configure(settings);
    fluid_settings_setstr(settings, "audio.driver", kind.name);
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
