#pragma once

#include "midi/shortmessage.h"

namespace midi {

// What a SynthRenderer plays and renders: the synthesizer (SynthEngine), or a test's own.
// play() is called by the sending side or by the audio thread, never by both at once;
// render() by the audio thread only.
class Instrument
{
public:
    virtual ~Instrument() = default;
    virtual void play(ShortMessage message) = 0;
    // Overwrites both buffers with the next `frames` frames.
    virtual bool render(int frames, float *left, float *right) = 0;
    // Frames a second, by which the renderer maps due times to frames.
    virtual double sampleRate() const = 0;
};

} // namespace midi
