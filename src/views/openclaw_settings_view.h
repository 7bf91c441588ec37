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

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QCoro::Task<> testConnection();
    QCoro::Task<> redetect();
    void save();
    // Stores the certificate pin the user confirmed for the address shown,
    // then saves.
    void trustPresentedCertificate();
    void updateBusy();

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
};

} // namespace halvex
