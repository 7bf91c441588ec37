#include "cli/cli.h"

#include "platform/logging.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace halvex::cli {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QString maskSecret(const QString &secret)
{
    if (secret.isEmpty())
        return {};
    return QString(8, QChar(0x25CF)) + secret.right(4);
}

std::optional<int> dispatch(int argc, char **argv)
{
    if (argc < 2)
        return std::nullopt;
    const QString name = QString::fromLocal8Bit(argv[1]);
    for (const Command &command : commands()) {
        if (command.name != name)
            continue;
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("halvex-bridge"));
        installLogFormat();
        QStringList arguments = QCoreApplication::arguments().mid(2);
        const int status = command.run(arguments);
        out().flush();
        err().flush();
        return status;
    }
    return std::nullopt;
}

} // namespace halvex::cli
