#include "views/account_step.h"

#include "account/account_service.h"
#include "account/relay_auth_service.h"
#include "views/view_support.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace halvex {

AccountStep::AccountStep(AccountService *account, QWidget *parent) : QWidget(parent), m_account(account)
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("Relay Account"), this));
    layout->addWidget(makeText(QStringLiteral("Sign in to your Halvex account to connect your devices."), this));
    m_pages = new QStackedWidget(this);
    m_pages->addWidget(buildSignedIn());
    m_pages->addWidget(buildForm());
    m_pages->addWidget(buildReset());
    layout->addWidget(m_pages);
    layout->addStretch();
    refresh();
}

QWidget *AccountStep::buildSignedIn()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    m_signedInLabel = makeText(QString(), page);
    layout->addWidget(m_signedInLabel);
    layout->addWidget(makeText(QStringLiteral("Your relay account is already configured."), page));
    auto *buttons = new QHBoxLayout;
    auto *different = new QPushButton(QStringLiteral("Use Different Account"), page);
    auto *next = new QPushButton(QStringLiteral("Continue"), page);
    next->setMinimumWidth(120);
    makeDefault(next);
    buttons->addStretch();
    buttons->addWidget(different);
    buttons->addWidget(next);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(different, &QPushButton::clicked, this, [this] {
        m_email->clear();
        m_password->clear();
        showPage(Page::form);
    });
    connect(next, &QPushButton::clicked, this, &AccountStep::done);
    return page;
}

QWidget *AccountStep::buildForm()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    auto *choice = new QHBoxLayout;
    m_signInChoice = new QRadioButton(QStringLiteral("Sign In"), page);
    m_createChoice = new QRadioButton(QStringLiteral("Create Account"), page);
    m_signInChoice->setChecked(true);
    auto *group = new QButtonGroup(page);
    group->addButton(m_signInChoice);
    group->addButton(m_createChoice);
    choice->addStretch();
    choice->addWidget(m_signInChoice);
    choice->addWidget(m_createChoice);
    choice->addStretch();
    layout->addLayout(choice);
    m_email = makeField(QStringLiteral("Email"), QString(), false, page);
    m_password = makeField(QStringLiteral("Password"), QString(), true, page);
    layout->addWidget(m_email);
    layout->addWidget(m_password);
    m_submit = new QPushButton(QStringLiteral("Sign In"), page);
    m_submit->setObjectName(QStringLiteral("submit"));
    m_submit->setMinimumWidth(120);
    makeDefault(m_submit);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(m_submit);
    row->addStretch();
    layout->addLayout(row);
    m_busy = makeBusyIndicator(page);
    layout->addWidget(m_busy);
    m_error = makeErrorLabel(page);
    layout->addWidget(m_error);
    auto *forgot = new QPushButton(QStringLiteral("Forgot Password?"), page);
    forgot->setFlat(true);
    layout->addWidget(forgot, 0, Qt::AlignHCenter);

    connect(m_signInChoice, &QRadioButton::toggled, this, [this] { updateButtons(); });
    connect(m_email, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(m_password, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(m_email, &QLineEdit::returnPressed, m_submit, &QPushButton::click);
    connect(m_password, &QLineEdit::returnPressed, m_submit, &QPushButton::click);
    connect(m_submit, &QPushButton::clicked, this, [this] { submit(); });
    connect(forgot, &QPushButton::clicked, this, [this] {
        m_resetCode->clear();
        m_newPassword->clear();
        showError(m_resetMessage, QString());
        showError(m_error, QString());
        showError(m_resetError, QString());
        m_resetEmail->setText(m_email->text());
        showResetStep(0);
        showPage(Page::reset);
    });
    return page;
}

QWidget *AccountStep::buildReset()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    m_resetPages = new QStackedWidget(page);

    auto *send = new QWidget(page);
    auto *sendLayout = new QVBoxLayout(send);
    sendLayout->addWidget(makeText(QStringLiteral("Enter your email address and we'll send you a reset code."), send));
    m_resetEmail = makeField(QStringLiteral("Email"), QString(), false, send);
    sendLayout->addWidget(m_resetEmail);
    auto *sendButtons = new QHBoxLayout;
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), send);
    m_sendCode = new QPushButton(QStringLiteral("Send Reset Code"), send);
    makeDefault(m_sendCode);
    sendButtons->addStretch();
    sendButtons->addWidget(cancel);
    sendButtons->addWidget(m_sendCode);
    sendButtons->addStretch();
    sendLayout->addLayout(sendButtons);
    m_resetPages->addWidget(send);

    auto *code = new QWidget(page);
    auto *codeLayout = new QVBoxLayout(code);
    m_codePrompt = makeText(QString(), code);
    codeLayout->addWidget(m_codePrompt);
    m_resetCode = makeField(QStringLiteral("6-digit code"), QString(), false, code);
    m_newPassword = makeField(QStringLiteral("New password (8+ characters)"), QString(), true, code);
    codeLayout->addWidget(m_resetCode);
    codeLayout->addWidget(m_newPassword);
    m_resetButton = new QPushButton(QStringLiteral("Reset Password"), code);
    makeDefault(m_resetButton);
    codeLayout->addWidget(m_resetButton, 0, Qt::AlignHCenter);
    m_resetPages->addWidget(code);

    auto *done = new QWidget(page);
    auto *doneLayout = new QVBoxLayout(done);
    auto *doneLabel = new QLabel(done);
    setStatus(doneLabel, true, QStringLiteral("Password has been reset."));
    doneLabel->setAlignment(Qt::AlignHCenter);
    doneLayout->addWidget(doneLabel);
    auto *backToSignIn = new QPushButton(QStringLiteral("Back to Sign In"), done);
    makeDefault(backToSignIn);
    doneLayout->addWidget(backToSignIn, 0, Qt::AlignHCenter);
    m_resetPages->addWidget(done);

    layout->addWidget(m_resetPages);
    m_resetBusy = makeBusyIndicator(page);
    layout->addWidget(m_resetBusy);
    m_resetMessage = makeText(QString(), page);
    m_resetMessage->hide();
    layout->addWidget(m_resetMessage);
    m_resetError = makeErrorLabel(page);
    layout->addWidget(m_resetError);

    connect(m_resetEmail, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(m_resetCode, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(m_newPassword, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(m_resetEmail, &QLineEdit::returnPressed, m_sendCode, &QPushButton::click);
    connect(m_resetCode, &QLineEdit::returnPressed, m_resetButton, &QPushButton::click);
    connect(m_newPassword, &QLineEdit::returnPressed, m_resetButton, &QPushButton::click);
    connect(cancel, &QPushButton::clicked, this, [this] { showPage(Page::form); });
    connect(backToSignIn, &QPushButton::clicked, this, [this] { showPage(Page::form); });
    connect(m_sendCode, &QPushButton::clicked, this, [this] { sendResetCode(); });
    connect(m_resetButton, &QPushButton::clicked, this, [this] { resetPassword(); });
    return page;
}

void AccountStep::refresh()
{
    const std::optional<QString> email = m_account->accountEmail();
    if (m_account->isSignedIn() && email && !email->isEmpty()) {
        m_email->setText(*email);
        m_signedInLabel->setText(QStringLiteral("✓ Signed in as ") + *email);
        showPage(Page::signedIn);
    } else {
        showPage(Page::form);
    }
}

AccountStep::Page AccountStep::page() const
{
    return Page(m_pages->currentIndex());
}

QString AccountStep::errorMessage() const
{
    return page() == Page::reset ? m_resetError->text() : m_error->text();
}

QString AccountStep::resetMessage() const
{
    return m_resetMessage->text();
}

void AccountStep::showPage(Page page)
{
    m_pages->setCurrentIndex(int(page));
    updateButtons();
    if (page == Page::form)
        m_email->setFocus();
}

void AccountStep::showResetStep(int step)
{
    m_resetStep = step;
    m_resetPages->setCurrentIndex(step);
    m_codePrompt->setText(QStringLiteral("Enter the 6-digit code sent to ") + m_resetEmail->text() +
                          QStringLiteral(" and your new password."));
    updateButtons();
}

void AccountStep::updateButtons()
{
    m_submit->setText(m_signInChoice->isChecked() ? QStringLiteral("Sign In") : QStringLiteral("Create Account"));
    m_submit->setEnabled(!m_email->text().isEmpty() && !m_password->text().isEmpty() && !m_isLoading);
    m_sendCode->setEnabled(!m_resetEmail->text().isEmpty() && !m_isLoading);
    m_resetButton->setEnabled(m_resetCode->text().size() == 6 && m_newPassword->text().size() >= 8 && !m_isLoading);
}

void AccountStep::setLoading(bool loading)
{
    m_isLoading = loading;
    m_busy->setVisible(loading);
    m_resetBusy->setVisible(loading);
    if (loading) {
        showError(m_error, QString());
        showError(m_resetError, QString());
        showError(m_resetMessage, QString());
    }
    updateButtons();
}

template <typename T>
QCoro::Task<std::optional<T>> AccountStep::run(QCoro::Task<Result<T>> request, QLabel *errorLabel)
{
    QPointer<AccountStep> self(this);
    setLoading(true);
    Result<T> result = co_await std::move(request);
    if (!self)
        co_return std::nullopt;
    setLoading(false);
    if (!result) {
        showError(errorLabel, result.error().description());
        co_return std::nullopt;
    }
    co_return std::move(result).value();
}

QCoro::Task<> AccountStep::submit()
{
    if (!m_submit->isEnabled())
        co_return;
    // Exactly as typed: a password may begin or end with a space.
    const QString email = m_email->text();
    const QString password = m_password->text();
    // (Not a conditional expression: GCC 12 mishandles co_await inside one.)
    QCoro::Task<Result<Done>> request =
        m_signInChoice->isChecked() ? m_account->signIn(email, password) : m_account->createAccount(email, password);
    if (co_await run(std::move(request), m_error))
        Q_EMIT done();
}

QCoro::Task<> AccountStep::sendResetCode()
{
    if (!m_sendCode->isEnabled())
        co_return;
    const std::optional<MessageResponse> sent =
        co_await run(m_account->auth()->forgotPassword(m_resetEmail->text()), m_resetError);
    if (!sent)
        co_return;
    showError(m_resetMessage, sent->message);
    showResetStep(1);
}

QCoro::Task<> AccountStep::resetPassword()
{
    if (!m_resetButton->isEnabled())
        co_return;
    const std::optional<MessageResponse> reset =
        co_await run(m_account->auth()->resetPassword(m_resetEmail->text(), m_resetCode->text(), m_newPassword->text()),
                     m_resetError);
    if (!reset)
        co_return;
    showError(m_resetMessage, reset->message);
    m_password->clear();
    m_newPassword->clear();
    showResetStep(2);
}

} // namespace halvex
