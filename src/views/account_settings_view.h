#pragma once

#include <QWidget>
#include <qcoro/qcorotask.h>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace halvex {

struct WindowServices;

// Account settings: the bridge's name as the phone shows it, and the relay
// sign-in with sign-out. Signing out leaves the bridge running.
class AccountSettingsView : public QWidget
{
    Q_OBJECT
public:
    explicit AccountSettingsView(const WindowServices &services, QWidget *parent = nullptr);

    QString bridgeNameText() const;
    bool isSignedIn() const;
    QString errorMessage() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void refresh();
    void applyBridgeName();
    QCoro::Task<> signIn();

    const WindowServices &m_services;
    bool m_isLoading = false;

    QLineEdit *m_bridgeName = nullptr;
    QStackedWidget *m_account = nullptr; // signed in, form
    QLabel *m_signedIn = nullptr;
    QLineEdit *m_email = nullptr;
    QLineEdit *m_password = nullptr;
    QPushButton *m_signIn = nullptr;
    QProgressBar *m_busy = nullptr;
    QLabel *m_error = nullptr;
};

} // namespace halvex
