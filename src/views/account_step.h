#pragma once

#include <QWidget>
#include <qcoro/qcorotask.h>

#include "platform/error.h"

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace halvex {

class AccountService;

// Wizard step 1: sign in to the relay account or create one, with the
// three-stage password reset. Every request runs without blocking the event
// loop; its error shows under the form that sent it.
class AccountStep : public QWidget
{
    Q_OBJECT
public:
    enum class Page { signedIn, form, reset };

    AccountStep(AccountService *account, QWidget *parent = nullptr);

    // Reads the stored sign-in again (when the step is shown).
    void refresh();

    Page page() const;
    int resetStep() const { return m_resetStep; }
    bool isLoading() const { return m_isLoading; }
    QString errorMessage() const;
    QString resetMessage() const;

Q_SIGNALS:
    // The user is done with this step.
    void done();

private:
    QWidget *buildSignedIn();
    QWidget *buildForm();
    QWidget *buildReset();
    void updateButtons();
    void setLoading(bool loading);
    void showPage(Page page);
    void showResetStep(int step);
    // The request with the loading state around it: its value, or nothing
    // when it failed (its error shown in `errorLabel`) or the step is gone.
    template <typename T>
    QCoro::Task<std::optional<T>> run(QCoro::Task<Result<T>> request, QLabel *errorLabel);
    QCoro::Task<> submit();
    QCoro::Task<> sendResetCode();
    QCoro::Task<> resetPassword();

    AccountService *m_account;
    bool m_isLoading = false;
    int m_resetStep = 0;

    QStackedWidget *m_pages = nullptr;
    QLabel *m_signedInLabel = nullptr;
    QRadioButton *m_signInChoice = nullptr;
    QRadioButton *m_createChoice = nullptr;
    QLineEdit *m_email = nullptr;
    QLineEdit *m_password = nullptr;
    QPushButton *m_submit = nullptr;
    QLabel *m_error = nullptr;
    QProgressBar *m_busy = nullptr;
    // Password reset.
    QStackedWidget *m_resetPages = nullptr;
    QLineEdit *m_resetEmail = nullptr;
    QPushButton *m_sendCode = nullptr;
    QLabel *m_codePrompt = nullptr;
    QLineEdit *m_resetCode = nullptr;
    QLineEdit *m_newPassword = nullptr;
    QPushButton *m_resetButton = nullptr;
    QLabel *m_resetMessage = nullptr;
    QLabel *m_resetError = nullptr;
    QProgressBar *m_resetBusy = nullptr;
};

} // namespace halvex
