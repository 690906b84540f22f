#pragma once

#include <QStringList>
#include <cstdint>

namespace midi {

// FluidSynth logs for the whole process, from its audio threads as well, and by default
// to the terminal. This takes over every level: the program prints nothing, and the
// recent errors are kept so that a failure can be reported with what FluidSynth said.
class FluidLog
{
public:
    // Installs the handlers; call before creating any FluidSynth object. Idempotent.
    static void install();
    // A position in the error log, for errorsSince().
    static std::uint64_t mark();
    // The errors logged after `mark`, oldest first; only the most recent few are kept.
    static QStringList errorsSince(std::uint64_t mark);
};

} // namespace midi
