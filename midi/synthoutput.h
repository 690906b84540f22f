#pragma once

// The built-in synthesizer once it is open: FluidSynth playing through one audio output.
//
// The audio output's thread only renders and reads and writes atomics: it never locks,
// waits or allocates, since under a JACK server its callback runs inside the server's
// cycle, where a client that blocks stalls every other client. The sending side starts
// rendering with the first note that sounds; the audio thread stops it once no note is
// held and the output has been quiet for a while, so a silent synthesizer costs no CPU.

#include "backend.h"

#include <fluidsynth/types.h>

#include <bitset>
#include <memory>
#include <vector>

namespace midi {

class PulseStream;
class Synth;

class SynthOutput final : public Output
{
public:
    // Plays `synth` through the first audio output that starts. Null, with `failure`
    // saying what was tried, when none does.
    static std::unique_ptr<SynthOutput> start(std::unique_ptr<Synth> synth, Failure &failure);
    ~SynthOutput() override;

    SynthOutput(const SynthOutput &) = delete;
    SynthOutput &operator=(const SynthOutput &) = delete;

    std::optional<Failure> send(std::uint32_t message) override;

private:
    class Source;
    struct Remains;
    static std::vector<Remains *> &leftBehind();

    explicit SynthOutput(std::unique_ptr<Synth> synth);
    bool startOutput(const char *name, QString &error);
    std::optional<Failure> health();
    // Counts the notes held after `message`, as the audio thread may not stop while one is.
    void track(std::uint32_t message);

    std::unique_ptr<Synth> synth_;
    std::unique_ptr<Source> source_;
    // The output: a PulseAudio stream of the program's own, or one of FluidSynth's.
    std::unique_ptr<PulseStream> pulse_;
    fluid_audio_driver_t *driver_ = nullptr;
    QString outputName_;
    std::uint64_t logMark_ = 0;
    std::optional<Failure> failure_;  // once the output has failed, for good
    std::bitset<16 * 128> held_;
};

} // namespace midi
