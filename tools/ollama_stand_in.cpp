// A stand-in Ollama server for local demos: serves scripted models on
// loopback so that `halvex-bridge models`, `models set` and `models test`
// (and an OpenClaw gateway pointed at it) have something to talk to.
//
//   ollama_stand_in --port 11434 --model llama3.2:3b=2019393189=3.2B --model qwen2.5:14b=8988124069=14.8B
#include "ollama_stand_in.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

using halvex::test::OllamaStandIn;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A loopback stand-in for the Ollama HTTP API."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port to listen on (0: any free one)."),
                                  QStringLiteral("port"), QStringLiteral("11434"));
    const QCommandLineOption model(
        QStringLiteral("model"), QStringLiteral("A served model: name[=size in bytes[=parameter size]] (repeatable)."),
        QStringLiteral("model"));
    const QCommandLineOption answer(QStringLiteral("answer"), QStringLiteral("The text every chat is answered with."),
                                    QStringLiteral("text"));
    const QCommandLineOption echo(QStringLiteral("echo"), QStringLiteral("Answer with the last user message."));
    parser.addOptions({port, model, answer, echo});
    parser.process(app);

    QList<OllamaStandIn::Model> models;
    for (const QString &spec : parser.values(model)) {
        const QStringList parts = spec.split(QLatin1Char('='));
        models.append({parts.value(0), parts.size() > 1 ? parts.at(1).toLongLong() : -1, parts.value(2)});
    }
    if (models.isEmpty())
        models.append({QStringLiteral("llama3.2:3b"), 2019393189, QStringLiteral("3.2B")});

    OllamaStandIn server;
    server.setModels(models);
    server.setEcho(parser.isSet(echo));
    if (parser.isSet(answer))
        server.setAnswer(parser.value(answer));
    bool ok = false;
    const int number = parser.value(port).toInt(&ok);
    if (!ok || number < 0 || number > 65535 || !server.listen(quint16(number))) {
        QTextStream(stderr) << "Cannot listen on port " << parser.value(port) << '\n';
        return 1;
    }
    QTextStream(stdout) << "Ollama stand-in listening on " << server.baseUrl() << " with " << models.size()
                        << " model(s)" << Qt::endl;
    return app.exec();
}
