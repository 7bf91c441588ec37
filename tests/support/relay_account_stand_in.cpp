#include "relay_account_stand_in.h"

#include "relay_stand_in.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace halvex::test {

namespace {
ScriptedResponse failure(int status, const QString &text)
{
    return ScriptedResponse::json(status, QJsonObject{{QStringLiteral("error"), text}});
}

QString field(const QJsonObject &body, const char *key)
{
    return body.value(QLatin1String(key)).toString();
}

// "ABCD-EFGH": letters and digits that cannot be mistaken for each other.
QString readableCode()
{
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QString code;
    for (int i = 0; i < 8; ++i) {
        if (i == 4)
            code += QLatin1Char('-');
        code += QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof(alphabet) - 1))]);
    }
    return code;
}
} // namespace

RelayAccountStandIn::RelayAccountStandIn(QObject *parent) : QObject(parent)
{
    m_http.setHandler([this](const HttpRequest &request) { return handle(request); });
}

RelayAccountStandIn::~RelayAccountStandIn() = default;

bool RelayAccountStandIn::listen()
{
    return m_http.listen();
}

QDateTime RelayAccountStandIn::now() const
{
    return QDateTime::currentDateTimeUtc().addSecs(m_clockOffset);
}

QByteArray RelayAccountStandIn::hashOf(const QByteArray &salt, const QString &password)
{
    return QCryptographicHash::hash(salt + password.toUtf8(), QCryptographicHash::Sha256);
}

QString RelayAccountStandIn::randomToken(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char &c : raw)
        c = char(QRandomGenerator::global()->bounded(256));
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

void RelayAccountStandIn::addUser(const QString &email, const QString &password)
{
    const QByteArray salt = randomToken(12).toLatin1();
    m_users.insert(email.toLower(), User{salt, hashOf(salt, password)});
}

bool RelayAccountStandIn::passwordMatches(const QString &email, const QString &password) const
{
    const auto it = m_users.constFind(email.toLower());
    return it != m_users.cend() && it->hash == hashOf(it->salt, password);
}

std::optional<QString> RelayAccountStandIn::resetCodeFor(const QString &email) const
{
    for (auto it = m_resetCodes.crbegin(); it != m_resetCodes.crend(); ++it) {
        if (it->email == email.toLower())
            return it->value;
    }
    return std::nullopt;
}

std::optional<QString> RelayAccountStandIn::relayTokenFor(const QString &email) const
{
    const auto it = m_latestRelayToken.constFind(email.toLower());
    return it == m_latestRelayToken.cend() ? std::nullopt : std::optional<QString>(*it);
}

QString RelayAccountStandIn::issuePairingCode(const QString &email)
{
    const QString code = readableCode();
    m_pairingCodes.append(Code{code, email.toLower(), now().addSecs(m_pairingCodeLifetime)});
    return code;
}

std::optional<RelayAccountStandIn::Code> RelayAccountStandIn::takeCode(QList<Code> &codes, const QString &value,
                                                                       const QString &email)
{
    for (qsizetype i = 0; i < codes.size(); ++i) {
        if (codes.at(i).value != value || (!email.isEmpty() && codes.at(i).email != email))
            continue;
        const Code code = codes.takeAt(i);
        if (code.expiresAt < now())
            return std::nullopt;
        return code;
    }
    return std::nullopt;
}

std::optional<ScriptedResponse> RelayAccountStandIn::handle(const HttpRequest &request)
{
    if (m_http.queuedCount() > 0)
        return std::nullopt; // a scripted answer goes first
    if (request.method != "POST")
        return failure(405, QStringLiteral("Method not allowed"));
    const QJsonObject body = request.json();
    const QByteArray path = request.path();
    if (path == "/api/register")
        return signIn(body, true);
    if (path == "/api/login")
        return signIn(body, false);
    if (path == "/api/forgot-password")
        return forgotPassword(body);
    if (path == "/api/reset-password")
        return resetPassword(body);
    if (path == "/api/pair")
        return createPairingCode(request);
    if (path == "/api/pair/verify")
        return verifyPairing(body);
    return failure(404, QStringLiteral("Not found"));
}

ScriptedResponse RelayAccountStandIn::signIn(const QJsonObject &body, bool create)
{
    const QString email = field(body, "email").toLower();
    const QString password = field(body, "password");
    if (email.isEmpty() || password.isEmpty())
        return failure(400, QStringLiteral("Email and password are required"));
    if (create) {
        if (hasUser(email))
            return failure(409, QStringLiteral("An account with this email already exists"));
        if (password.size() < 8)
            return failure(400, QStringLiteral("Password must be at least 8 characters"));
        addUser(email, password);
    } else if (!passwordMatches(email, password)) {
        return failure(401, QStringLiteral("Invalid email or password"));
    }
    const QString token = randomToken(24);
    m_relayTokens.insert(token, email);
    m_latestRelayToken.insert(email, token);
    return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("token"), token},
                                                   {QStringLiteral("userId"), QStringLiteral("user-") + email}});
}

ScriptedResponse RelayAccountStandIn::forgotPassword(const QJsonObject &body)
{
    const QString email = field(body, "email").toLower();
    // The same answer whether or not the account exists.
    if (hasUser(email)) {
        const QString code = QString::number(QRandomGenerator::global()->bounded(100000, 1000000));
        m_resetCodes.append(Code{code, email, now().addSecs(m_pairingCodeLifetime)});
    }
    return ScriptedResponse::json(
        200, QJsonObject{{QStringLiteral("message"), QStringLiteral("If the account exists, a code was sent")}});
}

ScriptedResponse RelayAccountStandIn::resetPassword(const QJsonObject &body)
{
    const QString email = field(body, "email").toLower();
    const QString newPassword = field(body, "newPassword");
    if (!takeCode(m_resetCodes, field(body, "code"), email))
        return failure(400, QStringLiteral("Invalid or expired code"));
    if (newPassword.size() < 8)
        return failure(400, QStringLiteral("Password must be at least 8 characters"));
    addUser(email, newPassword);
    return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("message"), QStringLiteral("Password updated")}});
}

ScriptedResponse RelayAccountStandIn::createPairingCode(const HttpRequest &request)
{
    const QByteArray authorization = request.header("Authorization");
    const QString token = QString::fromUtf8(authorization.startsWith("Bearer ") ? authorization.mid(7) : QByteArray());
    const auto account = m_relayTokens.constFind(token);
    if (account == m_relayTokens.cend())
        return failure(401, QStringLiteral("Unauthorized"));
    const QString code = issuePairingCode(account.value());
    return ScriptedResponse::json(
        200, QJsonObject{{QStringLiteral("code"), code},
                         {QStringLiteral("expiresAt"), m_pairingCodes.last().expiresAt.toString(Qt::ISODate)}});
}

ScriptedResponse RelayAccountStandIn::verifyPairing(const QJsonObject &body)
{
    const std::optional<Code> code = takeCode(m_pairingCodes, field(body, "code"));
    if (!code)
        return failure(400, QStringLiteral("Invalid or expired pairing code"));
    Bridge bridge{QStringLiteral("br-") + randomToken(6), QStringLiteral("bt-") + randomToken(24),
                  field(body, "bridgeName"), code->email};
    m_bridges.append(bridge);
    if (m_relay)
        m_relay->acceptToken(bridge.bridgeToken);
    return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("bridgeToken"), bridge.bridgeToken},
                                                   {QStringLiteral("bridgeId"), bridge.bridgeId}});
}

} // namespace halvex::test
