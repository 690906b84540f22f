#pragma once

#include "midi/midiplatform.h"
#include "midi/shortmessage.h"

#include <QString>
#include <map>

namespace midi {

// The user-facing text of a result code: what failed, in the captions' language.
QString standardErrorText(MmResult code);

// Why `packed` is not sent, for the fault ShortMessage::unpack found in it.
QString refusalText(std::uint32_t packed, ShortMessage::Fault fault);

// What a backend learnt about its last failure of each code (which audio outputs
// were tried, which port vanished), so the text shown names the reason as well.
class ErrorReasons
{
public:
    // Records `reason` for `code` and returns `code`, so a failing call can end in `return fail(...)`.
    MmResult fail(MmResult code, const QString &reason = {});
    QString text(MmResult code) const;
    MmResult getErrorText(MmResult code, char16_t *buffer, std::uint32_t chars) const;

private:
    std::map<MmResult, QString> reasons_;
};

} // namespace midi
