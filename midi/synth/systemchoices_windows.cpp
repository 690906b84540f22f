#include "synth/systemchoices.h"

#include "synth/engine.h"

#include <fluidsynth.h>

namespace midi {

namespace {

// WASAPI in shared mode, the way every other program plays beside this one: exclusive mode
// would take the device from them. In shared mode FluidSynth takes the engine's period for its
// own (audio.period-size is ignored) and asks for a buffer of audio.periods of them, which it
// keeps full, topping it up every half buffer; a note waits for what is in it. Measured under
// Wine (whose shared buffer is never under 30 ms) with the program's window, a key pressed to
// the first sample above -40 dBFS in a null sink, 50 presses over five starts: 2 periods heard
// a press after 25 ms (median; p95 39) with no dropout in a 30 s glide, 4 periods after 30 to
// 33 ms (p95 53 to 65), and a key glided onto while another rang after 27 ms against 23 to 53.
constexpr int kWasapiPeriods = 2;

// DirectSound and WaveOut, where WASAPI does not open: FluidSynth's own buffers of periods x
// period frames, the smallest found that held a note 10 s without a dropout under Wine
// (fluidsynth.exe, a note typed to its sound): DirectSound 512 x 4 after 102 ms (256 x 4 after
// 79 ms broke once), WaveOut 512 x 8 after 83 ms (smaller ones broke up).
constexpr int kDsoundPeriodFrames = 512;
constexpr int kDsoundPeriods = 4;
constexpr int kWaveoutPeriodFrames = 512;
constexpr int kWaveoutPeriods = 8;

void configureWasapi(fluid_settings_t *settings)
{
    fluid_settings_setint(settings, "audio.wasapi.exclusive-mode", 0);
    fluid_settings_setstr(settings, "audio.wasapi.device", "default");
    fluid_settings_setint(settings, "audio.periods", kWasapiPeriods);
    // The engine mixes in floating point: no conversion, and no dither, on the way.
    fluid_settings_setstr(settings, "audio.sample-format", "float");
}

void configureDsound(fluid_settings_t *settings)
{
    fluid_settings_setstr(settings, "audio.dsound.device", "default");
    fluid_settings_setint(settings, "audio.period-size", kDsoundPeriodFrames);
    fluid_settings_setint(settings, "audio.periods", kDsoundPeriods);
}

void configureWaveout(fluid_settings_t *settings)
{
    fluid_settings_setstr(settings, "audio.waveout.device", "default");
    fluid_settings_setint(settings, "audio.period-size", kWaveoutPeriodFrames);
    fluid_settings_setint(settings, "audio.periods", kWaveoutPeriods);
}

constexpr AudioOutputKind kOutputs[] = {
    {"wasapi", nullptr, &configureWasapi},
    {"dsound", nullptr, &configureDsound},
    {"waveout", nullptr, &configureWaveout},
};

} // namespace

AudioOutputPlan systemAudioOutputs()
{
    return {{std::begin(kOutputs), std::end(kOutputs)}, SynthEngine::kSampleRate};
}

// Windows has no place where sound fonts are installed: the one beside the program, and
// FluidSynth's own default, are all there is to look for.
std::span<const char *const> systemSoundFonts() { return {}; }

} // namespace midi
