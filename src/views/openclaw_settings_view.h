#pragma once

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

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QCoro::Task<> testConnection();
    QCoro::Task<> redetect();
    void save();
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
};

} // namespace halvex
