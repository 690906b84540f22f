#pragma once

// What one kind of MIDI output gives the router (systemplatform.cpp): a list of its
// outputs and a way to open one. The router numbers the outputs, hands out handles,
// keeps the reasons of failures and catches what the libraries beneath throw, so a
// backend only talks to its system.

#include "midi/midiplatform.h"
#include "midi/shortmessage.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace midi {

// A failed call: its result code and, in the user's words, why.
struct Failure
{
    MmResult code;
    QString reason;
};

// One output as the device list shows it.
struct Port
{
    std::string name;  // full and exact, UTF-8: the backend finds the output again by it
    DeviceCaps caps;
    // The system's own number for the output, where it numbers them (WinMM): with it the
    // router's ids stay the system's.
    std::uint32_t systemId = 0;
    // An output the system counts but cannot describe keeps its place, so the ones after
    // it keep their numbers; asking for its capabilities gives this code.
    MmResult capsResult = result::NoError;
};

// An open output. The router has checked every message it is given.
class Output
{
public:
    virtual ~Output() = default;
    // Plays one short message as soon as possible, or says why it cannot.
    virtual std::optional<Failure> send(ShortMessage message) = 0;
    // Plays it at `dueNs` on the steady clock, where the output can place a message in
    // time; a time already past means at once.
    virtual std::optional<Failure> sendAt(ShortMessage message, std::int64_t dueNs)
    {
        (void)dueNs;
        return send(message);
    }
    // How long before its due time a message must be sent to be placed in time; zero for
    // an output that plays every message as soon as it comes.
    virtual std::chrono::nanoseconds lead() const { return {}; }
    // Where closing is a call that can fail (WinMM), makes it and says why it failed; the
    // router forgets the output either way. Otherwise destruction closes.
    virtual std::optional<Failure> close() { return std::nullopt; }
};

class Backend
{
public:
    virtual ~Backend() = default;
    // The outputs as the system has them now, in its order. The mapper's backend lists the
    // one output it offers, or none when it cannot offer it.
    virtual std::vector<Port> list() = 0;
    // Opens `port`, taken from an earlier list(): by then the system may have changed, so
    // the output is looked for again. Null, with `failure` set, when it cannot be opened.
    virtual std::unique_ptr<Output> open(const Port &port, Failure &failure) = 0;
    // From now on calls `changed` on the calling thread's event loop whenever list() may
    // answer differently. A backend that hears of no changes does nothing: its list() is
    // read again when the user looks.
    virtual void watch(std::function<void()> changed) { (void)changed; }
    // The user is about to look at the list: a watching backend that has not reached its
    // system, or lost it, tries once more.
    virtual void lookAgain() {}
    // The whole text of a code this backend returned, where its system has words of its own
    // for it (in the user's language, as WinMM does); empty for the program's own text.
    virtual QString errorText(MmResult) { return {}; }
};

// The backends a build may have; systemplatform.cpp registers those this build has.
// Each prepare function makes the process-wide settings its libraries need, once,
// before any of their threads starts.
void prepareSynthProcess();
std::unique_ptr<Backend> createSynthBackend();
// The synthesizer with the sound fonts to try, best first.
std::unique_ptr<Backend> createSynthBackend(QStringList soundFontCandidates);

void prepareAlsaProcess();
std::unique_ptr<Backend> createAlsaBackend();

void prepareJackProcess();
std::unique_ptr<Backend> createJackBackend();

// WinMM's MIDI mapper, and its devices numbered as WinMM numbers them. Neither needs
// process-wide settings.
std::unique_ptr<Backend> createWinmmMapper();
std::unique_ptr<Backend> createWinmmPorts();

} // namespace midi
