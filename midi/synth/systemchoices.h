#pragma once

// What the built-in synthesizer takes from the system it runs on: the audio outputs it tries,
// best first, each set up as it plays best there, and where a General MIDI sound font is
// looked for beyond the program's own folder. One file per system (systemchoices_linux.cpp,
// systemchoices_windows.cpp), so that the output and the engine read the same everywhere.

#include <QString>
#include <fluidsynth/types.h>

#include <memory>
#include <span>
#include <vector>

namespace midi {

class SoundStream;
class SynthRenderer;

struct AudioOutputKind
{
    // FluidSynth's name for its driver, or the name of the program's own stream; the user
    // reads it when no output opens.
    const char *name;
    // Opens a stream of the program's own that plays `renderer`, or null with `error` in the
    // system's words. Null for FluidSynth's drivers.
    std::unique_ptr<SoundStream> (*openStream)(SynthRenderer &renderer, double sampleRate, QString &error);
    // For FluidSynth's drivers: sets what the driver reads (its period, its buffer, its own
    // settings) before it is started.
    void (*configure)(fluid_settings_t *settings);
};

// The outputs to try, best first, and the rate the synthesizer renders at.
struct AudioOutputPlan
{
    std::vector<AudioOutputKind> outputs;
    double sampleRate;
};

// Asked once as the synthesizer opens, before it is made: which sound server serves the
// desktop may decide both.
AudioOutputPlan systemAudioOutputs();

// Where the system's sound font packages install one, best first.
std::span<const char *const> systemSoundFonts();

} // namespace midi
