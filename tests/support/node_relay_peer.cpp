#include "node_relay_peer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>

namespace halvex::test {

namespace {
constexpr char kWsVersion[] = "8.18.3"; // as scripts/install-openclaw installs it
constexpr int kLineWaitMs = 30000;
} // namespace

QString NodeRelayPeer::wsDirectory()
{
    const QString cache =
        qEnvironmentVariable("HALVEX_OPENCLAW_CACHE", QDir::homePath() + QStringLiteral("/.cache/halvex-test"));
    return cache + QStringLiteral("/ws-") + QLatin1String(kWsVersion);
}

QString NodeRelayPeer::missingReason()
{
    if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
        return QStringLiteral("node is not installed (scripts/install-deps installs it)");
    if (!QFile::exists(wsDirectory() + QStringLiteral("/node_modules/ws/package.json")))
        return QStringLiteral("the ws package is not in %1; run scripts/install-openclaw ws").arg(wsDirectory());
    return {};
}

NodeRelayPeer::NodeRelayPeer(const QJsonObject &options)
{
    m_process.setProgram(QStandardPaths::findExecutable(QStringLiteral("node")));
    m_process.setArguments({QStringLiteral(HALVEX_SOURCE_DIR "/tests/support/ws_relay_peer.js"), wsDirectory(),
                            QString::fromUtf8(QJsonDocument(options).toJson(QJsonDocument::Compact))});
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
}

NodeRelayPeer::~NodeRelayPeer()
{
    m_process.closeWriteChannel(); // it ends when its input does
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished(10000);
}

QJsonObject NodeRelayPeer::nextLine()
{
    const QDeadlineTimer deadline(kLineWaitMs);
    while (!m_process.canReadLine() && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning)
        m_process.waitForReadyRead(100);
    return QJsonDocument::fromJson(m_process.readLine(4096)).object();
}

QUrl NodeRelayPeer::url()
{
    if (m_port == 0)
        m_port = nextLine().value(QLatin1String("port")).toInt();
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(m_port));
}

} // namespace halvex::test
