#include "platform/net/tls_pin.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>

#include <algorithm>

namespace halvex {

namespace {

constexpr qint64 kMaxCertificateFileBytes = 64 * 1024;
constexpr char kPinFailureProperty[] = "halvexPinFailure";

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

std::optional<QString> mismatch(const QSslCertificate &peer, const QByteArray &sha256)
{
    if (sha256.isEmpty())
        return std::nullopt;
    const QByteArray actual = certificateSha256(peer);
    if (actual == sha256)
        return std::nullopt;
    return QStringLiteral("The gateway's certificate changed: expected SHA-256 %1, got %2")
        .arg(formatSha256(sha256), actual.isEmpty() ? QStringLiteral("none") : formatSha256(actual));
}

} // namespace

QByteArray certificateSha256(const QSslCertificate &certificate)
{
    if (certificate.isNull())
        return {};
    return certificate.digest(QCryptographicHash::Sha256);
}

QString formatSha256(const QByteArray &raw)
{
    return QString::fromLatin1(raw.toHex(':').toUpper());
}

std::optional<QByteArray> parseSha256(const QString &text)
{
    const QString trimmed = text.trimmed();
    QString digits;
    if (trimmed.contains(QLatin1Char(':'))) {
        const QStringList pairs = trimmed.split(QLatin1Char(':'));
        if (pairs.size() != 32)
            return std::nullopt;
        for (const QString &pair : pairs) {
            if (pair.size() != 2)
                return std::nullopt;
            digits += pair;
        }
    } else {
        digits = trimmed;
    }
    if (digits.size() != 64 || !std::all_of(digits.cbegin(), digits.cend(), isHexDigit))
        return std::nullopt;
    return QByteArray::fromHex(digits.toLatin1());
}

Result<QByteArray> readCertificateFileSha256(const QString &path)
{
    // Only a regular file: opening a FIFO for reading would wait for a writer.
    const QFileInfo info(path);
    if (!info.exists())
        return Error::plain(QStringLiteral("The certificate file %1 does not exist").arg(path));
    if (!info.isFile())
        return Error::plain(QStringLiteral("The certificate file %1 is not a regular file").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error::plain(
            QStringLiteral("The certificate file %1 could not be read: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.read(kMaxCertificateFileBytes + 1);
    if (bytes.size() > kMaxCertificateFileBytes)
        return Error::plain(QStringLiteral("The certificate file %1 is larger than %2 KiB")
                                .arg(path)
                                .arg(kMaxCertificateFileBytes / 1024));
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(bytes, QSsl::Pem);
    if (certificates.isEmpty() || certificates.first().isNull())
        return Error::plain(QStringLiteral("The certificate file %1 holds no PEM certificate").arg(path));
    return certificateSha256(certificates.first());
}

void pinCertificate(QSslSocket *socket, const QByteArray &sha256)
{
    if (sha256.isEmpty())
        return;
    QObject::connect(socket, &QSslSocket::sslErrors, socket, [socket, sha256](const QList<QSslError> &) {
        // The server's own certificate, never one of the chain it sent:
        // the pinned certificate is public and could be sent along by anyone.
        if (const std::optional<QString> failure = mismatch(socket->peerCertificate(), sha256)) {
            socket->setProperty(kPinFailureProperty, *failure);
            return;
        }
        socket->ignoreSslErrors();
    });
}

std::optional<QString> pinMismatch(const QSslSocket *socket, const QByteArray &sha256)
{
    return mismatch(socket->peerCertificate(), sha256);
}

std::optional<QString> pinFailure(const QObject *socket)
{
    if (!socket)
        return std::nullopt;
    const QString failure = socket->property(kPinFailureProperty).toString();
    if (failure.isEmpty())
        return std::nullopt;
    return failure;
}

} // namespace halvex
