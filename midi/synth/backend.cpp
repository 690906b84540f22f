// The built-in synthesizer: FluidSynth with a General MIDI sound font, offered as the
// mapper, so the program sounds on a machine with no MIDI hardware.

#include "router/backend.h"
#include "synth/engine.h"
#include "synth/fluidlog.h"
#include "synth/output.h"

#include <QCoreApplication>
#include <fluidsynth.h>
#ifdef TIRREL_HAVE_PIPEWIRE
#include <pipewire/pipewire.h>
#endif

namespace midi {

namespace {

// One synthesizer at a time: a second would double the sound server's load for nothing.
class ClaimedOutput final : public Output
{
public:
    ClaimedOutput(std::unique_ptr<Output> output, bool &claimed) : output_(std::move(output)), claimed_(claimed)
    {
        claimed_ = true;
    }
    ~ClaimedOutput() override
    {
        output_.reset();
        claimed_ = false;
    }
    std::optional<Failure> send(ShortMessage message) override { return output_->send(message); }
    std::optional<Failure> sendAt(ShortMessage message, std::int64_t dueNs) override
    {
        return output_->sendAt(message, dueNs);
    }
    std::chrono::nanoseconds lead() const override { return output_->lead(); }

private:
    std::unique_ptr<Output> output_;
    bool &claimed_;
};

class SynthBackend final : public Backend
{
public:
    explicit SynthBackend(QStringList soundFontCandidates)
        : soundFontCandidates_(std::move(soundFontCandidates))
    {
    }

    std::vector<Port> list() override
    {
        if (SynthEngine::findSoundFont(soundFontCandidates_).isEmpty())
            return {};
        int major = 0, minor = 0, micro = 0;
        fluid_version(&major, &minor, &micro);
        Port port{"FluidSynth", {}};
        port.caps.driverVersion = static_cast<std::uint32_t>((major << 8) | minor);
        setProductName(port.caps, u"内置合成器 (FluidSynth)");
        port.caps.technology = kModSwSynth;
        port.caps.voices = SynthEngine::kPolyphony;
        port.caps.notes = SynthEngine::kPolyphony;
        port.caps.channelMask = 0xFFFF;
        return {port};
    }

    std::unique_ptr<Output> open(const Port &, Failure &failure) override
    {
        if (claimed_) {
            failure = {result::Allocated, {}};
            return nullptr;
        }
        const auto makeSynth = [this](double sampleRate, Failure &failure) -> std::unique_ptr<SynthEngine> {
            auto synth = std::make_unique<SynthEngine>(sampleRate);
            if (!synth->isValid()) {
                failure = {result::NoMem, QStringLiteral("FluidSynth 未能创建合成器")};
                return nullptr;
            }
            QString error;
            if (!synth->loadSoundFont(soundFontCandidates_, error)) {
                failure = {result::NoDriver, error};
                return nullptr;
            }
            return synth;
        };
        std::unique_ptr<Output> output = SynthOutput::start(makeSynth, failure);
        if (!output)
            return nullptr;
        return std::make_unique<ClaimedOutput>(std::move(output), claimed_);
    }

private:
    QStringList soundFontCandidates_;
    bool claimed_ = false;
};

} // namespace

void prepareSynthProcess()
{
    FluidLog::install();
#ifdef TIRREL_HAVE_PIPEWIRE
    pw_init(nullptr, nullptr);
#endif
}

std::unique_ptr<Backend> createSynthBackend()
{
    // The sound font beside the program comes first.
    const QString programDir =
        QCoreApplication::instance() != nullptr ? QCoreApplication::applicationDirPath() : QString();
    return createSynthBackend(SynthEngine::soundFontCandidates(programDir));
}

std::unique_ptr<Backend> createSynthBackend(QStringList soundFontCandidates)
{
    return std::make_unique<SynthBackend>(std::move(soundFontCandidates));
}

} // namespace midi
