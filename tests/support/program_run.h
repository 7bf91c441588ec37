#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace halvex::test {

// What a finished program left: its exit code (-1 when it did not exit by
// itself in time) and its two output streams.
struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
    // Standard output as one JSON object (empty when it is not one).
    QJsonObject json() const;
};

// Runs a program to its end with `environment` ("NAME=value") on top of this
// process's, `input` on its standard input (then closed; never a terminal),
// while the event loop keeps running, so that stand-ins in this process
// answer it meanwhile.
ProgramRun runProgram(const QString &program, const QStringList &arguments, const QStringList &environment,
                      const QByteArray &input = {}, int timeoutMs = 60000);

} // namespace halvex::test
