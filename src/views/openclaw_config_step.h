#pragma once

#include <QByteArray>
#include <QUrl>
#include <QWidget>
#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QWidget;

namespace halvex {

class OpenClawDetector;
struct WindowServices;

// Wizard step 3: the detected OpenClaw gateway (or one entered by hand or
// found on the local network), the switch to local-network access, and a
// connection test. "Use These Settings" and "Continue" hand the gateway to
// the bridge.
class OpenClawConfigStep : public QWidget
{
    Q_OBJECT
public:
    OpenClawConfigStep(const WindowServices &services, std::shared_ptr<OpenClawDetector> detector,
                       QWidget *parent = nullptr);

    bool showsManual() const;
    bool showsLANWarning() const;
    std::optional<bool> testResult() const { return m_testResult; }

Q_SIGNALS:
    // The user is done with this step.
    void done();

private:
    void updateDetected();
    void updateDiscovered();
    void useDetected();
    QCoro::Task<> continueManual();
    QCoro::Task<> testConnection();
    QCoro::Task<> enableLANAccess();
    // Offered before LAN access while OpenClaw's gateway TLS is off.
    QCoro::Task<> enableTls();
    // Runs one of the detector's changes with the buttons held, and shows
    // its problem when it fails.
    QCoro::Task<> changeGateway(QCoro::Task<bool> (OpenClawDetector::*change)());

    const WindowServices &m_services;
    std::shared_ptr<OpenClawDetector> m_detector;
    bool m_lanWarningSkipped = false;
    bool m_enablingLAN = false;
    std::optional<bool> m_testResult;

    QStackedWidget *m_pages = nullptr; // detecting, detected, manual
    QLabel *m_endpoint = nullptr;
    QLabel *m_token = nullptr;
    QLabel *m_agent = nullptr;
    QLabel *m_status = nullptr;
    QWidget *m_lanWarning = nullptr;
    QPushButton *m_enableLAN = nullptr;
    QPushButton *m_enableTls = nullptr;
    QLabel *m_lanError = nullptr;
    QLineEdit *m_manualEndpoint = nullptr;
    QLineEdit *m_manualToken = nullptr;
    QListWidget *m_discovered = nullptr;
    QPushButton *m_test = nullptr;
    QProgressBar *m_busy = nullptr;
    QLabel *m_testLabel = nullptr;
    // The plain-http address the user was already warned about; the
    // certificate offered for trust, and for which address.
    QUrl m_warnedInClear;
    QByteArray m_offeredPin;
    QUrl m_offeredFor;
};

} // namespace halvex
