#include "views/qr_code_window_view.h"

#include "account/pairing_service.h"
#include "account/qr_code.h"
#include "views/view_support.h"
#include "views/window_services.h"

#include <QKeyEvent>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace halvex {

QRCodeWindowView::QRCodeWindowView(const WindowServices &services, QWidget *parent)
    : QWidget(parent), m_services(services)
{
    setAccessibleName(QStringLiteral("Halvex Bridge QR Code"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("Scan with Halvex App"), this));
    m_image = new QLabel(this);
    m_image->setAlignment(Qt::AlignHCenter);
    m_image->setMinimumSize(PairingService::qrImageSize, PairingService::qrImageSize);
    m_image->setAccessibleName(QStringLiteral("QR code"));
    layout->addWidget(m_image, 1);
    m_loading = makeText(QStringLiteral("Generating QR code…"), this);
    layout->addWidget(m_loading);
    m_busy = makeBusyIndicator(this);
    layout->addWidget(m_busy);
    m_error = makeErrorLabel(this);
    layout->addWidget(m_error);
    layout->addWidget(makeText(QStringLiteral("Open Halvex Avatar or Phone → Settings → Scan QR Code"), this));
    m_generate = new QPushButton(QStringLiteral("Generate New Code"), this);
    makeDefault(m_generate);
    layout->addWidget(m_generate, 0, Qt::AlignHCenter);
    connect(m_generate, &QPushButton::clicked, this, [this] { generate(); });
    QTimer::singleShot(0, this, [this] { generate(); });
}

bool QRCodeWindowView::hasImage() const
{
    return !m_image->pixmap().isNull();
}

QString QRCodeWindowView::errorMessage() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

QCoro::Task<> QRCodeWindowView::generate()
{
    if (m_isLoading)
        co_return;
    QPointer<QRCodeWindowView> self(this);
    m_isLoading = true;
    m_generate->setEnabled(false);
    m_loading->show();
    m_busy->show();
    showError(m_error, QString());
    const QRCodeContent content = co_await m_services.pairing->generateQRCode(PairingService::qrImageSize);
    if (!self)
        co_return;
    m_isLoading = false;
    m_generate->setEnabled(true);
    m_loading->hide();
    m_busy->hide();
    m_payload = content.payload;
    if (!showQRImage(m_image, content.png))
        showError(m_error, content.errorMessage.value_or(qrCodeFailureText()));
}

void QRCodeWindowView::keyPressEvent(QKeyEvent *event)
{
    if (handleWindowKey(this, event))
        return;
    QWidget::keyPressEvent(event);
}

} // namespace halvex
