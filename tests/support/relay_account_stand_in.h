#pragma once

#include "http_stand_in.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace halvex::test {

class RelayStandIn;

// A loopback stand-in for the relay's HTTPS account API:
//   POST /api/register, /api/login          {email, password} -> {token, userId}
//   POST /api/forgot-password                {email} -> {message}
//   POST /api/reset-password                 {email, code, newPassword} -> {message}
//   POST /api/pair       (Bearer relay token) {} -> {code, expiresAt}
//   POST /api/pair/verify                    {code, bridgeName} -> {bridgeToken, bridgeId}
// Users keep salted password hashes; reset codes and pairing codes are
// single-use and expire. Every bridge token it issues is handed to the
// attached relay WebSocket stand-in, which then accepts it. Failures answer
// {"error": text} with a 4xx status. Scripted answers queued on http() come
// before these rules, so a test can play any status or body.
class RelayAccountStandIn : public QObject
{
    Q_OBJECT
public:
    struct Bridge {
        QString bridgeId;
        QString bridgeToken;
        QString bridgeName;
        QString email; // the account that made the pairing code
    };

    explicit RelayAccountStandIn(QObject *parent = nullptr);
    ~RelayAccountStandIn() override;

    bool listen();
    // "http://127.0.0.1:<port>"
    QUrl origin() const { return m_http.url(); }
    HttpStandIn &http() { return m_http; }

    // Issued bridge tokens become acceptable to this relay WebSocket stand-in.
    void attachRelay(RelayStandIn *relay) { m_relay = relay; }

    // How long codes live; the clock can be moved on to expire them.
    void setPairingCodeLifetime(qint64 seconds) { m_pairingCodeLifetime = seconds; }
    void advanceClock(qint64 seconds) { m_clockOffset += seconds; }

    // Test set-up and inspection.
    void addUser(const QString &email, const QString &password);
    bool hasUser(const QString &email) const { return m_users.contains(email.toLower()); }
    bool passwordMatches(const QString &email, const QString &password) const;
    // The last reset code sent to the address (as if read from the e-mail).
    std::optional<QString> resetCodeFor(const QString &email) const;
    // A pairing code made for the account, as the phone would ask for one.
    QString issuePairingCode(const QString &email);
    QList<Bridge> bridges() const { return m_bridges; }
    // The relay token of the account's latest sign-in.
    std::optional<QString> relayTokenFor(const QString &email) const;

private:
    struct User {
        QByteArray salt;
        QByteArray hash;
    };
    struct Code {
        QString value;
        QString email;
        QDateTime expiresAt;
    };

    std::optional<ScriptedResponse> handle(const HttpRequest &request);
    ScriptedResponse signIn(const QJsonObject &body, bool create);
    ScriptedResponse forgotPassword(const QJsonObject &body);
    ScriptedResponse resetPassword(const QJsonObject &body);
    ScriptedResponse createPairingCode(const HttpRequest &request);
    ScriptedResponse verifyPairing(const QJsonObject &body);
    QDateTime now() const;
    static QByteArray hashOf(const QByteArray &salt, const QString &password);
    static QString randomToken(int bytes);
    // Takes a live code out of the list: single use.
    std::optional<Code> takeCode(QList<Code> &codes, const QString &value, const QString &email = {});

    HttpStandIn m_http;
    RelayStandIn *m_relay = nullptr;
    QHash<QString, User> m_users;               // by lower-case e-mail
    QHash<QString, QString> m_relayTokens;      // token -> e-mail
    QHash<QString, QString> m_latestRelayToken; // e-mail -> token of its latest sign-in
    QList<Code> m_resetCodes;
    QList<Code> m_pairingCodes;
    QList<Bridge> m_bridges;
    qint64 m_pairingCodeLifetime = 600;
    qint64 m_clockOffset = 0;
};

} // namespace halvex::test
