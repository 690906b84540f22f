#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace bench {

// Ends a benchmark that cannot go on, its name before the reason.
[[noreturn]] void die(const QString &why);

// Reads `TOOL FIGURE [--NAME VALUE]... [-- COMMAND...]`: hands each option to `take`, which
// returns false for a name it does not know, fills `command` with what follows `--`, and
// returns the figure. Dies with `usage` when no figure is given.
QString readOptions(const QStringList &args, const QString &usage, QStringList &command,
                    const std::function<bool(const QString &name, const QString &value)> &take);

// An option's value as a number; dies naming the option when it is not one.
int number(const QString &name, const QString &value);

} // namespace bench
