#include "synth/systemchoices.h"

#include "synth/engine.h"
#include "synth/pulsestream.h"
#include "synth/renderer.h"
#ifdef TIRREL_HAVE_PIPEWIRE
#include "synth/pipewirestream.h"
#endif

#include <fluidsynth.h>

#include <optional>

namespace midi {

namespace {

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
// starts from silence is heard sooner (see synth/renderer.cpp).
constexpr int kPeriodFrames = 512;
constexpr int kPeriods = 2;

#ifdef TIRREL_HAVE_PIPEWIRE
std::unique_ptr<SoundStream> openPipeWire(SynthRenderer &renderer, double sampleRate, QString &error)
{
    renderer.setLeadFrames(kPipeWireLeadFrames);
    return PipeWireStream::open(renderer, sampleRate, kPipeWireQuantum, error);
}
#endif

std::unique_ptr<SoundStream> openPulse(SynthRenderer &renderer, double sampleRate, QString &error)
{
    renderer.setLeadFrames(kPeriodFrames);
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

// default-GM.sf2 is the set Debian's alternatives point at; FluidR3 comes before
// TimGM6mb because it is the fuller set of the two.
constexpr const char *kSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/soundfonts/default.sf2",
};

} // namespace

// Desktop sound server first, through a stream of the program's own (see synth/pipewirestream.h
// and synth/pulsestream.h): PipeWire natively where it serves the desktop, else the PulseAudio
// protocol. JACK comes before ALSA because a running JACK server holds the sound card. SDL2
// is left out: FluidSynth 2.3 neither initialises SDL's audio nor drives it through a render
// callback, and it would only reach these again.
AudioOutputPlan systemAudioOutputs()
{
    AudioOutputPlan plan{{}, SynthEngine::kSampleRate};
#ifdef TIRREL_HAVE_PIPEWIRE
    if (const std::optional<double> rate = pipeWireRate()) {
        plan.outputs.push_back({"pipewire", &openPipeWire, nullptr});
        plan.sampleRate = *rate;
    }
#endif
    plan.outputs.insert(plan.outputs.end(), {
        {"pulseaudio", &openPulse, nullptr},
        {"jack", nullptr, &configureJack},
        {"alsa", nullptr, &configurePeriods},
        {"oss", nullptr, &configurePeriods},
    });
    return plan;
}

std::span<const char *const> systemSoundFonts() { return kSoundFonts; }

} // namespace midi
