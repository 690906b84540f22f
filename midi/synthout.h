#pragma once

#include "errortext.h"
#include "midiplatform.h"

#include <QStringList>
#include <memory>
#include <vector>

namespace midi {

// The built-in synthesizer: FluidSynth with a General MIDI sound font, playing through
// the first audio output that starts. It answers only for the mapper id, so the program
// sounds on a machine with no MIDI hardware; device ids 0..N-1 belong to other backends.
class SynthOut final : public MidiPlatform
{
public:
    // Looks for the sound font beside the program first.
    SynthOut();
    // Looks for the sound font among `soundFontCandidates`, best first.
    explicit SynthOut(QStringList soundFontCandidates);
    ~SynthOut() override;

    std::uint32_t deviceCount() override;
    MmResult deviceCaps(std::uint32_t deviceId, DeviceCaps &caps) override;
    MmResult open(HMidiOut &handle, std::uint32_t deviceId, std::uintptr_t callback,
                  std::uintptr_t instance, std::uint32_t flags) override;
    MmResult close(HMidiOut handle) override;
    MmResult send(HMidiOut handle, std::uint32_t message) override;
    MmResult errorText(MmResult code, char16_t *text, std::uint32_t chars) override;

private:
    struct Output;
    static std::vector<Output *> &leftBehind();

    MmResult openOutput(HMidiOut &handle);
    MmResult startAudio();
    MmResult checkAudio();
    void closeOutput();

    QStringList soundFontCandidates_;
    std::unique_ptr<Output> output_;
    HMidiOut handle_ = 0;
    HMidiOut lastHandle_ = 0;
    ErrorReasons reasons_;
};

} // namespace midi
