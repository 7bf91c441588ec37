#pragma once

#include "account/pairing_service.h"

#include <QWidget>
#include <qcoro/qcorotask.h>

#include <functional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace halvex {

// Wizard step 2: pair this machine with the relay account, automatically
// or with a code the phone shows, and show the QR code the phone scans.
// Left forward only once paired.
class ConnectPhoneStep : public QWidget
{
    Q_OBJECT
public:
    ConnectPhoneStep(PairingService *pairing, QWidget *parent = nullptr);

    // An existing pairing shows at once (when the step is shown).
    void refresh();

    bool isPaired() const { return m_isPaired; }
    bool isBusy() const { return m_isPairing || m_isVerifying; }
    QString errorMessage() const;
    // The payload the QR image shows; empty while not paired.
    QByteArray payload() const { return m_payload; }

Q_SIGNALS:
    // The user is done with this step.
    void done();

private:
    void showPaired(const PairingResult &result);
    void updateButtons();
    void setBusy(bool pairing, bool verifying);
    QCoro::Task<> pairAutomatically();
    QCoro::Task<> connectWithCode();
    QCoro::Task<> pair(QCoro::Task<Result<PairingResult>> request, bool automatic);

    PairingService *m_pairing;
    bool m_isPairing = false;
    bool m_isVerifying = false;
    bool m_isPaired = false;
    QByteArray m_payload;

    QStackedWidget *m_pages = nullptr;
    QPushButton *m_pairButton = nullptr;
    QLineEdit *m_manualCode = nullptr;
    QPushButton *m_connect = nullptr;
    QProgressBar *m_busy = nullptr;
    QLabel *m_error = nullptr;
    QLabel *m_pairedText = nullptr;
    QLabel *m_qrImage = nullptr;
};

} // namespace halvex
