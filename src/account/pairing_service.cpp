#include "account/pairing_service.h"

#include "account/bridge_name.h"
#include "account/qr_code.h"
#include "account/relay_auth_service.h"
#include "platform/characters.h"
#include "platform/deployment.h"
#include "platform/device_facts.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"

namespace halvex {

namespace {
LocalAddressLookup lookupOrDefault(LocalAddressLookup lookup)
{
    if (lookup)
        return lookup;
    return [] { return localIPAddress(); };
}

// The stored bridge id, when it is one; a value that is not (written by
// hand, or by an older build from an unchecked answer) is reported and left
// out of the payload rather than handed to the phone.
std::optional<QString> usableBridgeId(Settings &settings)
{
    const std::optional<QString> stored = settings.string(SettingsKey::bridgeId);
    if (!stored || stored->isEmpty())
        return std::nullopt;
    if (!isBridgeId(*stored)) {
        qCWarning(lcAuth, "Ignoring the stored bridge id %s: it is not a bridge id (letters, digits, '-', '_')",
                  qUtf8Printable(quotedForLog(*stored, 80)));
        return std::nullopt;
    }
    return stored;
}
} // namespace

BridgeTokenState bridgeTokenState(CredentialStore &credentials)
{
    const Result<std::optional<QString>> token = credentials.load(CredentialService::bridge());
    if (!token)
        return BridgeTokenState::unreadable;
    return token.value() && !token.value()->isEmpty() ? BridgeTokenState::stored : BridgeTokenState::none;
}

bool isPaired(BridgeTokenState token)
{
    return token != BridgeTokenState::none;
}

PairingService::PairingService(Dependencies deps) : m_deps(std::move(deps)), m_builder(m_deps.relayWebSocketOrigin)
{
}

QString PairingService::normalizedCode(const QString &code)
{
    qsizetype begin = 0;
    qsizetype end = code.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(code.at(begin)))
        ++begin;
    while (end > begin && blank(code.at(end - 1)))
        --end;
    return code.mid(begin, end - begin);
}

QString PairingService::codeProblem(const QString &code)
{
    const QString trimmed = normalizedCode(code);
    if (trimmed.size() < minimumCodeLength)
        return QStringLiteral("The code needs at least %1 characters, as the phone shows it (XXXX-XXXX).")
            .arg(minimumCodeLength);
    if (!isPairingCode(trimmed))
        return QStringLiteral("That is not a pairing code: it has only letters, digits and '-', as the phone shows "
                              "it (XXXX-XXXX).");
    return QString();
}

QString PairingService::currentBridgeName() const
{
    return m_deps.bridgeName ? m_deps.bridgeName() : defaultBridgeName();
}

QString PairingService::storedBridgeName() const
{
    return halvex::storedBridgeName(*m_deps.settings, [this] { return currentBridgeName(); });
}

bool PairingService::isPaired() const
{
    return halvex::isPaired(bridgeTokenState(*m_deps.credentials));
}

QByteArray PairingService::payloadFor(const QString &bridgeName, const std::optional<QString> &bridgeId,
                                      const std::optional<QString> &code) const
{
    PairingPayloadInputs inputs;
    inputs.bridgeName = bridgeName;
    if (m_deps.gateway) {
        const GatewayTarget gateway = m_deps.gateway();
        inputs.gatewayURL = gateway.phoneEndpoint(lookupOrDefault(m_deps.localIPAddress)());
        if (!gateway.token.isEmpty())
            inputs.gatewayToken = gateway.token;
        inputs.gatewayTlsSha256 = gateway.tlsPin;
    }
    inputs.bridgeId = bridgeId;
    inputs.code = code;
    return m_builder.build(inputs);
}

QCoro::Task<Result<PairingResult>> PairingService::verify(QString code, bool codeInPayload)
{
    const QString name = currentBridgeName();
    const Result<PairVerifyResponse> answer = co_await m_deps.auth->verifyPairing(code, name);
    if (!answer)
        co_return answer.error();
    if (answer->bridgeToken.isEmpty())
        co_return Error::plain(QStringLiteral("The relay sent an empty bridge token."));
    // The token first: without it the name and id would describe a pairing
    // that does not exist.
    if (!m_deps.credentials->save(CredentialService::bridge(), answer->bridgeToken))
        co_return Error::plain(
            QStringLiteral("The pairing could not be kept: the credential store refused the token."));
    m_deps.settings->setString(SettingsKey::bridgeName, name);
    m_deps.settings->setString(SettingsKey::bridgeId, answer->bridgeId);
    qCInfo(lcAuth, "Paired this machine as %s (bridge %s)", qUtf8Printable(quotedForLog(name, 80)),
           qUtf8Printable(quotedForLog(answer->bridgeId, 80)));
    if (m_deps.bridgeTokenStored)
        m_deps.bridgeTokenStored();

    PairingResult result;
    result.bridgeName = name;
    result.bridgeId = answer->bridgeId;
    if (codeInPayload)
        result.code = code;
    result.payload = payloadFor(name, answer->bridgeId, result.code);
    co_return result;
}

QCoro::Task<Result<PairingResult>> PairingService::pairAutomatically()
{
    const QString relayToken =
        m_deps.credentials->load(CredentialService::relay()).valueOr(std::nullopt).value_or(QString());
    if (relayToken.isEmpty())
        co_return BridgeError::apiError(QStringLiteral("Not signed in — go back and sign in first"));
    const Result<PairResponse> pairing = co_await m_deps.auth->createPairingCode(relayToken);
    if (!pairing)
        co_return pairing.error();
    co_return co_await verify(pairing->code, true);
}

QCoro::Task<Result<PairingResult>> PairingService::pairWithCode(QString code)
{
    if (const QString problem = codeProblem(code); !problem.isEmpty())
        co_return BridgeError::apiError(problem);
    co_return co_await verify(normalizedCode(code), false);
}

std::optional<PairingResult> PairingService::alreadyPaired() const
{
    if (!isPaired())
        return std::nullopt;
    PairingResult result;
    result.bridgeName = storedBridgeName();
    const std::optional<QString> bridgeId = usableBridgeId(*m_deps.settings);
    result.bridgeId = bridgeId.value_or(QString());
    result.payload = payloadFor(result.bridgeName, bridgeId, std::nullopt);
    return result;
}

QCoro::Task<QRCodeContent> PairingService::generateQRCode(int size)
{
    const QString name = storedBridgeName();
    const std::optional<QString> bridgeId = usableBridgeId(*m_deps.settings);

    std::optional<QString> code;
    const QString relayToken =
        m_deps.credentials->load(CredentialService::relay()).valueOr(std::nullopt).value_or(QString());
    if (!relayToken.isEmpty()) {
        const Result<PairResponse> pairing = co_await m_deps.auth->createPairingCode(relayToken);
        if (pairing)
            code = pairing->code;
        else
            qCInfo(lcQr, "No fresh pairing code for the QR code: %s",
                   qUtf8Printable(quotedForLog(pairing.error().description(), 320)));
    }

    QRCodeContent content;
    content.payload = payloadFor(name, bridgeId, code);
    content.png = makeQRPng(content.payload, size);
    if (!content.png)
        content.errorMessage = qrCodeFailureText();
    co_return content;
}

} // namespace halvex
