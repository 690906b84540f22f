#include "options.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace bench {

void die(const QString &why)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(why));
    std::exit(1);
}

QString readOptions(const QStringList &args, const QString &usage, QStringList &command,
                    const std::function<bool(const QString &name, const QString &value)> &take)
{
    if (args.size() < 2)
        die(QStringLiteral("usage: %1").arg(usage));
    for (qsizetype i = 2; i < args.size(); ++i) {
        const QString &name = args.at(i);
        if (name == QLatin1String("--")) {
            command = args.mid(i + 1);
            break;
        }
        if (i + 1 >= args.size())
            die(QStringLiteral("%1 needs a value").arg(name));
        if (!take(name, args.at(++i)))
            die(QStringLiteral("unknown option %1").arg(name));
    }
    return args.at(1);
}

int number(const QString &name, const QString &value)
{
    bool ok = false;
    const int n = value.toInt(&ok);
    if (!ok)
        die(QStringLiteral("%1 takes a number, not %2").arg(name, value));
    return n;
}

} // namespace bench
