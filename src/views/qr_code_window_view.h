#pragma once

#include <QByteArray>
#include <QWidget>
#include <qcoro/qcorotask.h>

class QLabel;
class QProgressBar;
class QPushButton;

namespace halvex {

struct WindowServices;

// "Halvex Bridge QR Code": the pairing QR code the phone scans, with a
// fresh pairing code while signed in, made anew on "Generate New Code".
class QRCodeWindowView : public QWidget
{
    Q_OBJECT
public:
    explicit QRCodeWindowView(const WindowServices &services, QWidget *parent = nullptr);

    QCoro::Task<> generate();

    bool isLoading() const { return m_isLoading; }
    QByteArray payload() const { return m_payload; }
    bool hasImage() const;
    QString errorMessage() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    const WindowServices &m_services;
    bool m_isLoading = false;
    QByteArray m_payload;

    QLabel *m_image = nullptr;
    QLabel *m_loading = nullptr;
    QProgressBar *m_busy = nullptr;
    QLabel *m_error = nullptr;
    QPushButton *m_generate = nullptr;
};

} // namespace halvex
