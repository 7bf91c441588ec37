#include "views/connect_phone_step.h"

#include "account/qr_code.h"
#include "views/view_support.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace halvex {

ConnectPhoneStep::ConnectPhoneStep(PairingService *pairing, QWidget *parent) : QWidget(parent), m_pairing(pairing)
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("Connect Your Phone"), this));
    layout->addWidget(makeText(QStringLiteral("Pair this computer with your Halvex relay account."), this));
    m_pages = new QStackedWidget(this);

    auto *unpaired = new QWidget(this);
    auto *u = new QVBoxLayout(unpaired);
    auto *automatic = makeText(QStringLiteral("Automatic Pairing"), unpaired);
    QFont bold = automatic->font();
    bold.setBold(true);
    automatic->setFont(bold);
    u->addWidget(automatic);
    u->addWidget(makeText(QStringLiteral("Register this computer as a bridge for your account."), unpaired));
    m_pairButton = new QPushButton(QStringLiteral("Pair This Computer"), unpaired);
    makeDefault(m_pairButton);
    u->addWidget(m_pairButton, 0, Qt::AlignHCenter);
    u->addSpacing(12);
    u->addWidget(makeText(QStringLiteral("Or enter a code from your phone:"), unpaired));
    auto *codeRow = new QHBoxLayout;
    m_manualCode = makeField(QStringLiteral("Pairing code"), QStringLiteral("XXXX-XXXX"), false, unpaired);
    m_connect = new QPushButton(QStringLiteral("Connect"), unpaired);
    codeRow->addStretch();
    codeRow->addWidget(m_manualCode);
    codeRow->addWidget(m_connect);
    codeRow->addStretch();
    u->addLayout(codeRow);
    u->addWidget(makeText(QStringLiteral("Open your Halvex app → Settings → Relay → Pair New Bridge"), unpaired));
    m_busy = makeBusyIndicator(unpaired);
    u->addWidget(m_busy);
    m_error = makeErrorLabel(unpaired);
    u->addWidget(m_error);
    u->addStretch();
    m_pages->addWidget(unpaired);

    auto *paired = new QWidget(this);
    auto *p = new QVBoxLayout(paired);
    auto *done = new QLabel(paired);
    setStatus(done, true, QStringLiteral("Bridge Paired!"));
    done->setAlignment(Qt::AlignHCenter);
    p->addWidget(done);
    m_pairedText = makeText(QString(), paired);
    p->addWidget(m_pairedText);
    m_qrImage = new QLabel(paired);
    m_qrImage->setAlignment(Qt::AlignHCenter);
    m_qrImage->setAccessibleName(QStringLiteral("QR code"));
    p->addWidget(m_qrImage);
    p->addWidget(makeText(QStringLiteral("Open Halvex Avatar or Phone → Settings → Scan QR Code"), paired));
    auto *buttons = new QHBoxLayout;
    auto *again = new QPushButton(QStringLiteral("Pair Again"), paired);
    auto *next = new QPushButton(QStringLiteral("Continue"), paired);
    makeDefault(next);
    buttons->addStretch();
    buttons->addWidget(again);
    buttons->addWidget(next);
    buttons->addStretch();
    p->addLayout(buttons);
    m_pages->addWidget(paired);
    layout->addWidget(m_pages);

    connect(m_pairButton, &QPushButton::clicked, this, [this] { pairAutomatically(); });
    connect(m_connect, &QPushButton::clicked, this, [this] { connectWithCode(); });
    connect(m_manualCode, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(m_manualCode, &QLineEdit::returnPressed, m_connect, &QPushButton::click);
    connect(again, &QPushButton::clicked, this, [this] {
        m_isPaired = false;
        m_payload.clear();
        m_qrImage->clear();
        m_pages->setCurrentIndex(0);
    });
    connect(next, &QPushButton::clicked, this, &ConnectPhoneStep::done);
    updateButtons();
}

void ConnectPhoneStep::refresh()
{
    if (m_isPaired || isBusy())
        return;
    if (const std::optional<PairingResult> existing = m_pairing->alreadyPaired())
        showPaired(*existing);
}

QString ConnectPhoneStep::errorMessage() const
{
    return m_error->isVisible() || !m_error->text().isEmpty() ? m_error->text() : QString();
}

void ConnectPhoneStep::showPaired(const PairingResult &result)
{
    m_isPaired = true;
    m_payload = result.payload;
    m_pairedText->setText(QStringLiteral("Your bridge \"") + result.bridgeName +
                          QStringLiteral("\" is registered with the relay. Now scan the QR code below with your "
                                         "Halvex app so it knows to connect through the relay."));
    if (!showQRImage(m_qrImage, makeQRPng(result.payload, PairingService::qrImageSize)))
        m_qrImage->setText(qrCodeFailureText());
    showError(m_error, QString());
    m_pages->setCurrentIndex(1);
}

void ConnectPhoneStep::updateButtons()
{
    m_pairButton->setText(m_isPairing ? QStringLiteral("Pairing…") : QStringLiteral("Pair This Computer"));
    m_pairButton->setEnabled(!isBusy());
    m_connect->setEnabled(m_manualCode->text().size() >= PairingService::minimumCodeLength && !isBusy());
}

void ConnectPhoneStep::setBusy(bool pairing, bool verifying)
{
    m_isPairing = pairing;
    m_isVerifying = verifying;
    m_busy->setVisible(pairing || verifying);
    updateButtons();
}

QCoro::Task<> ConnectPhoneStep::pairAutomatically()
{
    if (!isBusy())
        co_await pair(m_pairing->pairAutomatically(), true);
}

QCoro::Task<> ConnectPhoneStep::connectWithCode()
{
    if (m_connect->isEnabled())
        co_await pair(m_pairing->pairWithCode(m_manualCode->text()), false);
}

QCoro::Task<> ConnectPhoneStep::pair(QCoro::Task<Result<PairingResult>> request, bool automatic)
{
    QPointer<ConnectPhoneStep> self(this);
    showError(m_error, QString());
    setBusy(automatic, !automatic);
    const Result<PairingResult> result = co_await std::move(request);
    if (!self)
        co_return;
    setBusy(false, false);
    if (!result) {
        showError(m_error, result.error().description());
        co_return;
    }
    showPaired(*result);
}

} // namespace halvex
