#pragma once

// The built-in synthesizer once it is open: FluidSynth playing through one audio output.
// The output renders through a SynthRenderer, whose audio thread never locks, waits or
// allocates: under a JACK server its callback runs inside the server's cycle, where a
// client that blocks stalls every other client.

#include "router/backend.h"

#include <fluidsynth/types.h>

#include <bitset>
#include <functional>
#include <memory>
#include <vector>

namespace midi {

struct AudioOutputKind;
class SoundStream;
class SynthEngine;
class SynthRenderer;

class SynthOutput final : public Output
{
public:
    // Makes the synthesizer, its sound font loaded, at the rate its output plays; null, with
    // `failure` set, when it cannot.
    using MakeSynth = std::function<std::unique_ptr<SynthEngine>(double sampleRate, Failure &failure)>;
    // Plays the synthesizer `makeSynth` makes through the first audio output that starts.
    // Null, with `failure` saying what was tried, when none does.
    static std::unique_ptr<SynthOutput> start(const MakeSynth &makeSynth, Failure &failure);
    ~SynthOutput() override;

    SynthOutput(const SynthOutput &) = delete;
    SynthOutput &operator=(const SynthOutput &) = delete;

    std::optional<Failure> send(ShortMessage message) override { return sendAt(message, 0); }
    std::optional<Failure> sendAt(ShortMessage message, std::int64_t dueNs) override;
    std::chrono::nanoseconds lead() const override;

private:
    struct Remains;
    static std::vector<Remains *> &leftBehind();

    explicit SynthOutput(std::unique_ptr<SynthEngine> synth);
    bool startOutput(const AudioOutputKind &kind, QString &error);
    std::optional<Failure> health();
    // Counts the notes held after `message`: rendering never pauses while one is.
    void track(ShortMessage message);

    std::unique_ptr<SynthEngine> synth_;
    std::unique_ptr<SynthRenderer> renderer_;
    // The output: a PipeWire or PulseAudio stream of the program's own, or one of FluidSynth's.
    std::unique_ptr<SoundStream> stream_;
    fluid_audio_driver_t *driver_ = nullptr;
    QString outputName_;
    std::uint64_t logMark_ = 0;
    std::optional<Failure> failure_;  // once the output has failed, for good
    std::bitset<kChannels * kKeys> held_;
};

} // namespace midi
