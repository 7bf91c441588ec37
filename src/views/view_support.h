#pragma once

#include "gateway/gateway_probe.h"

#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

class QAbstractButton;
class QBoxLayout;
class QLineEdit;
class QKeyEvent;

namespace halvex {

// Small building blocks shared by the windows, so every window looks and
// behaves alike: palette colours throughout, status colours only for
// success and failure.

// A bold heading one step larger than the body text.
QLabel *makeTitle(const QString &text, QWidget *parent = nullptr);
// Wrapped body text.
QLabel *makeText(const QString &text, QWidget *parent = nullptr);
// The line under a form that shows what went wrong; hidden while empty.
QLabel *makeErrorLabel(QWidget *parent = nullptr);
void showError(QLabel *label, const QString &text);
// An indeterminate progress bar, hidden until a long operation runs.
QProgressBar *makeBusyIndicator(QWidget *parent = nullptr);

// Shows a QR code image (PNG bytes, see makeQRPng) in `label`. False, and
// the label cleared, when there is none or it does not load.
bool showQRImage(QLabel *label, const std::optional<QByteArray> &png);

// A label showing the status icon beside a text.
void setStatus(QLabel *label, bool ok, const QString &text);

// Symbols of the texts (a tier, a warning, a person...): the desktop icon
// theme's, or a small drawn glyph in the palette's text colour.
QIcon symbolIcon(const QString &themeName, QChar fallbackGlyph);

// "●●●●●●●●…" and the last four characters of a token with at least 5
// characters that is not redacted; "Not found" otherwise.
QString maskedToken(const QString &token);

// The URL typed into a gateway field, or http://127.0.0.1:18789 when the
// text is not an absolute http(s) URL.
QUrl gatewayURLFromText(const QString &text);
QString defaultGatewayText();

// A line edit with a label for accessibility and a placeholder.
QLineEdit *makeField(const QString &accessibleName, const QString &placeholder, bool secret = false,
                     QWidget *parent = nullptr);

// A push button that Return activates inside its window.
void makeDefault(QAbstractButton *button);

} // namespace halvex

namespace halvex {

class BridgeManager;
struct WindowServices;

// Why a form's gateway entries cannot be stored yet, or nothing when they
// can: a new address needs its token (a stored token goes only to the
// gateway it was stored for, and no field is ever pre-filled with one);
// plain http to another machine is said out loud once per address
// (`warnedInClear` remembers it), and the same button again goes ahead.
std::optional<QString> gatewayEntriesHeldBack(BridgeManager *bridgeManager, const QUrl &endpoint, const QString &typed,
                                              QUrl &warnedInClear, const QString &button);
// The token a form hands to the writer: the typed one, or none (the writer
// keeps a stored one only for the address it was stored for).
std::optional<QString> typedToken(const QString &typed);
// A form's "Test": the probe of the gateway its entries name, by the
// resolver's rules (a new address gets no stored token).
QCoro::Task<GatewayProbe> testGatewayEntries(const WindowServices &services, QObject *form, QString endpointText,
                                             QString tokenText);
// What a form says when a new address has no token.
QString gatewayTokenNeeded(const QUrl &endpoint);

} // namespace halvex

namespace halvex {

// Keys every window shares: Escape closes the window; Return presses the
// visible default button unless a text field has focus (fields press their
// own button). True when the key was used.
bool handleWindowKey(QWidget *root, QKeyEvent *event);

} // namespace halvex
