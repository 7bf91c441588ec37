#include "gateway/shell_runner.h"

#include <QProcess>
#include <QStringDecoder>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>

namespace halvex {

QCoro::Task<std::optional<QString>> runShellCommand(QString command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setInputChannelMode(QProcess::ManagedInputChannel);
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command}, QIODevice::ReadOnly);
    if (!co_await qCoro(process).waitForStarted())
        co_return std::nullopt;

    // Collect as it comes, so a chatty command never fills the pipe.
    QByteArray output;
    auto collect = QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                                    [&process, &output] { output += process.readAllStandardOutput(); });
    if (process.state() != QProcess::NotRunning)
        co_await qCoro(&process, &QProcess::finished);
    QObject::disconnect(collect);
    output += process.readAllStandardOutput();

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(output);
    if (decoder.hasError())
        co_return std::nullopt;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        co_return std::nullopt;
    co_return trimmed;
}

} // namespace halvex
