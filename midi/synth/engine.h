#pragma once

#include "synth/instrument.h"

#include <QString>
#include <QStringList>
#include <fluidsynth/types.h>

#include <cstdint>

namespace midi {

// FluidSynth with one General MIDI sound font, played by short messages and rendered on
// demand: an audio output pulls from render() on its own thread, tests call it directly
// and need no audio device.
class SynthEngine final : public Instrument
{
public:
    // PulseAudio's default rate, so a PulseAudio desktop's output needs no resampling; an
    // output that plays at another rate asks for its own.
    static constexpr double kSampleRate = 44100.0;
    static constexpr int kPolyphony = 256;

    // Where a General MIDI sound font is looked for, best first: the .sf2 and .sf3
    // files in `programDir`, FluidSynth's own default sound font, then the places the
    // system's sound font packages install to (synth/systemchoices.h).
    static QStringList soundFontCandidates(const QString &programDir);
    // The first candidate that is a readable file, or an empty string.
    static QString findSoundFont(const QStringList &candidates);

    explicit SynthEngine(double sampleRate = kSampleRate);
    ~SynthEngine() override;
    SynthEngine(const SynthEngine &) = delete;
    SynthEngine &operator=(const SynthEngine &) = delete;

    bool isValid() const { return synth_ != nullptr; }
    // Loads the first candidate that loads. On failure `error` names what was tried.
    bool loadSoundFont(const QStringList &candidates, QString &error);
    QString soundFont() const { return soundFont_; }
    double sampleRate() const override { return sampleRate_; }

    // Plays a channel message or a system reset; the other system messages mean nothing
    // to a synthesizer without a sequencer. A program change, a bank select and a system
    // reset may read the sound font from disk: they are never played on the audio thread.
    void play(ShortMessage message) override;
    // Overwrites both buffers with the next `frames` frames, reverb and chorus mixed in.
    bool render(int frames, float *left, float *right) override;
    // Voices still sounding, releases included; reverb and chorus tails are not voices.
    int activeVoices() const;

    // For the audio output, which reads its settings from the same object.
    fluid_settings_t *settings() const { return settings_; }

private:
    fluid_settings_t *settings_ = nullptr;
    fluid_synth_t *synth_ = nullptr;
    QString soundFont_;
    double sampleRate_;
};

} // namespace midi
