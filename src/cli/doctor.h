#pragma once

#include "discovery/openclaw_locator.h"
#include "gateway/gateway_probe.h"
#include "gateway/gateway_target.h"
#include "gateway/limits.h"
#include "models/provider_detection_service.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace halvex {

class CredentialStore;
class Settings;

// What one check found. Details never hold a secret in clear: tokens are
// shown masked.
struct CheckOutcome {
    enum class Status { passed, failed, skipped };
    Status status = Status::skipped;
    QString detail;
    // For a failure: the command or setting that fixes it.
    QString fix;

    static CheckOutcome pass(QString detail) { return {Status::passed, std::move(detail), {}}; }
    static CheckOutcome fail(QString detail, QString fix)
    {
        return {Status::failed, std::move(detail), std::move(fix)};
    }
    static CheckOutcome skip(QString reason) { return {Status::skipped, std::move(reason), {}}; }
};

// Everything the checks look at; tests point it at loopback stand-ins and
// a scratch home.
struct DoctorEnvironment {
    struct Timings {
        std::chrono::milliseconds probeTimeout = limits::probeTimeout;         // one HTTP request or TCP connect
        std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(15); // one WebSocket handshake
    };

    CredentialStore *credentials = nullptr;
    Settings *settings = nullptr;
    QUrl relayOrigin;      // scheme + host[:port] of the relay WebSocket
    QString homeDirectory; // holds ".openclaw/openclaw.json"
    EnvironmentLookup environment = processEnvironment;
    QUrl ollamaURL{ProviderDetectionService::defaultOllamaHost()};
    // Where the openclaw tool is looked for; none: the standard places for
    // homeDirectory and this process's environment.
    std::optional<OpenClawLocator::Places> openClawPlaces;
    Timings timings;
};

// What earlier checks learnt, for the later ones.
struct DoctorFindings {
    bool credentialStoreReachable = false;
    std::optional<QString> bridgeToken;
    bool relayAccepted = false;
    std::optional<QString> openClawPath;
    QString openClawVersion;
    GatewayTarget target;
    GatewayProbe probe; // with the handshake
    bool gatewayAnswering = false;
};

// One line of the doctor's report. Further checks are one more entry in
// doctorChecks().
struct DoctorCheck {
    QString id;    // the key in --json output
    QString title; // the start of the line
    // The bridge cannot answer chats unless this check passes.
    bool neededForChats = false;
    std::function<QCoro::Task<CheckOutcome>(const DoctorEnvironment &, DoctorFindings &)> run;
};

// Every check, in the order they run and print.
QList<DoctorCheck> doctorChecks();

struct DoctorReport {
    struct Line {
        DoctorCheck check;
        CheckOutcome outcome;
    };
    QList<Line> lines;

    // Every check that chats need has passed.
    bool canAnswerChats() const;
    // One line per check: "✓ Title: detail", and for a failure the fix on
    // the line below.
    QString text() const;
    QJsonObject json() const;
};

// Runs the checks one after the other (later ones read what earlier ones
// found).
QCoro::Task<DoctorReport> runDoctor(DoctorEnvironment environment, QList<DoctorCheck> checks);

} // namespace halvex
