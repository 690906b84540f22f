#pragma once

#include <QString>

#include <cstdint>
#include <optional>

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

// An audio stream of the program's own, as the output that opened it sees it.
class SoundStream
{
public:
    virtual ~SoundStream() = default;
    // Asks for sound again, from any thread and without a lock, after the source declined.
    virtual void kick() = 0;
    // Why the connection or the stream failed, once it has.
    virtual std::optional<QString> failure() const = 0;
};

} // namespace midi
