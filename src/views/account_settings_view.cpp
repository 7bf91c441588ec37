#include "views/account_settings_view.h"

#include "account/account_service.h"
#include "account/bridge_name.h"
#include "bridge/bridge_manager.h"
#include "views/view_support.h"
#include "views/window_services.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace halvex {

AccountSettingsView::AccountSettingsView(const WindowServices &services, QWidget *parent)
    : QWidget(parent), m_services(services)
{
    setAccessibleName(QStringLiteral("Account Settings"));
    auto *layout = new QVBoxLayout(this);

    auto *nameBox = new QGroupBox(QStringLiteral("Bridge Name"), this);
    auto *n = new QVBoxLayout(nameBox);
    m_bridgeName = makeField(QStringLiteral("Bridge Name"), QStringLiteral("e.g. Living Room PC"), false, nameBox);
    m_bridgeName->setText(m_services.bridgeManager->bridgeName());
    n->addWidget(m_bridgeName);
    auto *caption = new QLabel(QStringLiteral("This name appears in the Halvex app when switching agents."), nameBox);
    caption->setWordWrap(true);
    n->addWidget(caption);
    layout->addWidget(nameBox);

    auto *accountBox = new QGroupBox(QStringLiteral("Relay Account"), this);
    auto *a = new QVBoxLayout(accountBox);
    m_account = new QStackedWidget(accountBox);
    auto *signedIn = new QWidget(accountBox);
    auto *s = new QHBoxLayout(signedIn);
    m_signedIn = new QLabel(signedIn);
    auto *signOut = new QPushButton(QStringLiteral("Sign Out"), signedIn);
    s->addWidget(m_signedIn, 1);
    s->addWidget(signOut);
    m_account->addWidget(signedIn);
    auto *form = new QWidget(accountBox);
    auto *f = new QVBoxLayout(form);
    m_email = makeField(QStringLiteral("Email"), QString(), false, form);
    m_password = makeField(QStringLiteral("Password"), QString(), true, form);
    m_signIn = new QPushButton(QStringLiteral("Sign In"), form);
    f->addWidget(m_email);
    f->addWidget(m_password);
    f->addWidget(m_signIn, 0, Qt::AlignRight);
    m_busy = makeBusyIndicator(form);
    f->addWidget(m_busy);
    m_account->addWidget(form);
    a->addWidget(m_account);
    m_error = makeErrorLabel(accountBox);
    a->addWidget(m_error);
    layout->addWidget(accountBox);
    layout->addStretch();

    connect(m_bridgeName, &QLineEdit::returnPressed, this, [this] { applyBridgeName(); });
    connect(m_bridgeName, &QLineEdit::editingFinished, this, [this] { applyBridgeName(); });
    connect(signOut, &QPushButton::clicked, this, [this] {
        m_services.bridgeManager->signOut();
        refresh();
    });
    connect(m_signIn, &QPushButton::clicked, this, [this] { signIn(); });
    connect(m_email, &QLineEdit::returnPressed, m_signIn, &QPushButton::click);
    connect(m_password, &QLineEdit::returnPressed, m_signIn, &QPushButton::click);
    refresh();
}

void AccountSettingsView::refresh()
{
    const bool signedIn = m_services.account->isSignedIn();
    m_signedIn->setText(QStringLiteral("Signed in  ") + m_services.account->accountEmail().value_or(QString()));
    m_account->setCurrentIndex(signedIn ? 0 : 1);
}

QString AccountSettingsView::bridgeNameText() const
{
    return m_bridgeName->text();
}

bool AccountSettingsView::isSignedIn() const
{
    return m_account->currentIndex() == 0;
}

QString AccountSettingsView::errorMessage() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

void AccountSettingsView::applyBridgeName()
{
    const QString cut = enteredBridgeName(m_bridgeName->text());
    if (cut != m_bridgeName->text())
        m_bridgeName->setText(cut);
    if (cut.trimmed() == m_services.bridgeManager->bridgeName())
        return;
    m_services.bridgeManager->setBridgeName(cut);
}

QCoro::Task<> AccountSettingsView::signIn()
{
    if (m_isLoading || m_email->text().isEmpty() || m_password->text().isEmpty())
        co_return;
    QPointer<AccountSettingsView> self(this);
    m_isLoading = true;
    m_signIn->setEnabled(false);
    m_busy->show();
    showError(m_error, QString());
    const Result<Done> result = co_await m_services.account->signIn(m_email->text(), m_password->text());
    if (!self)
        co_return;
    m_isLoading = false;
    m_signIn->setEnabled(true);
    m_busy->hide();
    if (!result) {
        showError(m_error, result.error().description());
        co_return;
    }
    m_password->clear();
    refresh();
}

void AccountSettingsView::keyPressEvent(QKeyEvent *event)
{
    if (handleWindowKey(this, event))
        return;
    QWidget::keyPressEvent(event);
}

} // namespace halvex
