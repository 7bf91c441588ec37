#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QObject;
class QSslCertificate;
class QSslSocket;

namespace halvex {

// Trusting one server certificate by its SHA-256 fingerprint (the "pin",
// SHA-256 over the DER certificate, as `openssl x509 -fingerprint -sha256`
// prints it). A gateway that serves TLS with a self-signed certificate of
// its own (no authority, no name for the address) is trusted this way: the
// pin comes from the certificate file on this machine, and a server that
// shows any other certificate gets no byte of a request.
//
// An empty pin means no pinning: the ordinary verification applies.

// The raw 32 bytes; empty for a null certificate.
QByteArray certificateSha256(const QSslCertificate &certificate);
// Upper-case hex pairs joined by colons ("AB:CD:…"), like openssl.
QString formatSha256(const QByteArray &raw);
// 64 hex digits of either case, either plain or as 32 colon-separated
// pairs; surrounding white space is ignored. Nullopt for anything else.
std::optional<QByteArray> parseSha256(const QString &text);

// The pin of the first certificate of a PEM file (read up to 64 KiB).
Result<QByteArray> readCertificateFileSha256(const QString &path);

// Arms a TLS socket before it connects: when verification fails and the
// server's own certificate has the pinned SHA-256, the errors are ignored
// (and only then). A certificate that verification accepts is not checked
// here, so the caller must also call pinMismatch() on `encrypted` before it
// writes anything. When the handshake is refused for another certificate,
// pinFailure(socket) holds the mismatch sentence.
void pinCertificate(QSslSocket *socket, const QByteArray &sha256);
// "The gateway's certificate changed: expected SHA-256 <pin>, got <actual>"
// when the socket's peer certificate is not the pinned one; nullopt when it
// is, or when `sha256` is empty.
std::optional<QString> pinMismatch(const QSslSocket *socket, const QByteArray &sha256);

// The mismatch sentence recorded on a socket armed above; nullopt when its
// certificate was never refused for the pin.
std::optional<QString> pinFailure(const QObject *socket);

} // namespace halvex
