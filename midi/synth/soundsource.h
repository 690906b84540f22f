#pragma once

#include <cstdint>

namespace midi {

// What an audio stream of the program's own plays (PulseAudio, PipeWire). Called on the
// stream's thread, which it must never block.
class SoundSource
{
public:
    virtual ~SoundSource() = default;
    // Writes the next `frames` frames, or returns false when there is nothing to play.
    // `heardAtNs`, on the steady clock, is when the first of them will be heard, where the
    // output knows it, else 0.
    virtual bool render(int frames, float *left, float *right, std::int64_t heardAtNs) = 0;
};

} // namespace midi
