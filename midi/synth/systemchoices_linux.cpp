#include "synth/systemchoices.h"

#include "synth/pulsestream.h"
#include "synth/renderer.h"

#include <fluidsynth.h>

namespace midi {

namespace {

// One period is the PulseAudio stream's whole buffer; ALSA and OSS get periods x period
// frames; JACK keeps the server's own. Measured against a null sink (note-on call to the
// first sample above -40 dBFS in its monitor, and runs of silence in 10 s of a held note):
// a running stream of 64 frames heard a note after 6.7 ms (median) but broke up 108 times,
// 256 frames after 12.5 ms with 15 breaks, 512 frames after 13-15 ms with none. A note that
// starts from silence is heard sooner (see synth/renderer.cpp).
constexpr int kPeriodFrames = 512;
constexpr int kPeriods = 2;

std::unique_ptr<SoundStream> openPulse(SynthRenderer &renderer, double sampleRate, QString &error)
{
    renderer.setPeriodFrames(kPeriodFrames);
    return PulseStream::open(renderer, sampleRate, kPeriodFrames, error);
}

void configurePeriods(fluid_settings_t *settings)
{
    fluid_settings_setint(settings, "audio.period-size", kPeriodFrames);
    fluid_settings_setint(settings, "audio.periods", kPeriods);
}

void configureJack(fluid_settings_t *settings)
{
    // Unconnected JACK ports play into nothing.
    fluid_settings_setint(settings, "audio.jack.autoconnect", 1);
    fluid_settings_setstr(settings, "audio.jack.id", "Tirrel");
}

// Desktop sound server first, through a stream of the program's own (see synth/pulsestream.h).
// JACK comes before ALSA because a running JACK server holds the sound card. SDL2 is left
// out: FluidSynth 2.3 neither initialises SDL's audio nor drives it through a render
// callback, and it would only reach these again.
constexpr AudioOutputKind kOutputs[] = {
    {"pulseaudio", &openPulse, nullptr},
    {"jack", nullptr, &configureJack},
    {"alsa", nullptr, &configurePeriods},
    {"oss", nullptr, &configurePeriods},
};

// default-GM.sf2 is the set Debian's alternatives point at; FluidR3 comes before
// TimGM6mb because it is the fuller set of the two.
constexpr const char *kSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/soundfonts/default.sf2",
};

} // namespace

std::span<const AudioOutputKind> systemAudioOutputs() { return kOutputs; }

std::span<const char *const> systemSoundFonts() { return kSoundFonts; }

} // namespace midi
