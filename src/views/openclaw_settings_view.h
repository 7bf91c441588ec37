#pragma once

#include <QUrl>
#include <QWidget>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace halvex {

class OpenClawDetector;
struct GatewayTarget;
struct WindowServices;

// "OpenClaw Settings": the gateway address and token, a connection test,
// a fresh detection, and "Save", which hands both to the bridge.
class OpenClawSettingsView : public QWidget
{
    Q_OBJECT
public:
    explicit OpenClawSettingsView(const WindowServices &services, QWidget *parent = nullptr);
    ~OpenClawSettingsView() override;

    QString endpoint() const;
    QString token() const;
    std::optional<bool> testResult() const { return m_testResult; }
    bool isBusy() const { return m_isTesting || m_isDetecting; }
    // A remote TLS gateway's fingerprint waits for the user's confirmation.
    bool offersCertificateTrust() const;
    // Another account holds the gateway's loopback port; the user may trust it.

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QCoro::Task<> testConnection();
    QCoro::Task<> redetect();
    // Hands the entries to the bridge's gateway writer; false when they
    // were held back (the reason shows).
    bool save();
    // Saves, then trusts the certificate the user compared, for the address
    // just saved only.
    void trustPresentedCertificate();
    void trustListenerOwner();
    void updateBusy();
    // What an empty token field means, said in its placeholder.
    void showTokenSource(const GatewayTarget &target);

    const WindowServices &m_services;
    std::shared_ptr<OpenClawDetector> m_detector; // alive while its detection runs
    bool m_isTesting = false;
    bool m_isDetecting = false;
    std::optional<bool> m_testResult;

    QLineEdit *m_endpoint = nullptr;
    QLineEdit *m_token = nullptr;
    QProgressBar *m_busy = nullptr;
    QLabel *m_result = nullptr;
    QLabel *m_error = nullptr;
    QPushButton *m_test = nullptr;
    QPushButton *m_redetect = nullptr;
    // A remote https gateway without a pin: its fingerprint, for the user to
    // compare and confirm (never trusted by itself).
    QWidget *m_trust = nullptr;
    QLabel *m_trustText = nullptr;
    QByteArray m_presentedPin;
    QUrl m_presentedFor;
    // The plain-http address the user was already warned about.
    QUrl m_warnedInClear;
    // Another account holds the gateway's loopback port: who, for the user
    // to trust when that account runs the gateway.
    QWidget *m_owner = nullptr;
    QLabel *m_ownerText = nullptr;
    QString m_listenerOwner;
};

} // namespace halvex
