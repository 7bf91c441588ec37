#pragma once

#include "views/window_services.h"

#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace halvex {

class AccountStep;
class CompletionStep;
class ConnectPhoneStep;
class ModelSelectionStep;
class OpenClawConfigStep;
class OpenClawDetector;
class ProviderDetectionService;

// The first-run wizard: welcome, relay account, phone pairing, OpenClaw,
// model, start at login and the final status, with the step dots and
// "Back". It holds no business logic: each step calls the services.
class SetupWizardView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int stepCount = 7;

    SetupWizardView(WindowServices services, std::function<void()> onComplete, QWidget *parent = nullptr);
    ~SetupWizardView() override;

    int currentStep() const { return m_currentStep; }
    void setCurrentStep(int step);

    QPushButton *backButton() const { return m_back; }
    AccountStep *accountStep() const { return m_account; }
    ConnectPhoneStep *connectPhoneStep() const { return m_connectPhone; }
    OpenClawConfigStep *openClawStep() const { return m_openClaw; }
    ModelSelectionStep *modelStep() const { return m_model; }
    CompletionStep *completionStep() const { return m_completion; }
    OpenClawDetector *detector() const { return m_detector.get(); }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QWidget *buildWelcome();
    QWidget *buildAutoStart();
    void next();
    void updateFrame();
    void setStartAtLogin(bool on);

    WindowServices m_services;
    std::function<void()> m_onComplete;
    // Shared with the steps' running operations (see ModelSelectionView).
    std::shared_ptr<OpenClawDetector> m_detector;
    std::shared_ptr<ProviderDetectionService> m_providerDetection;
    int m_currentStep = 0;

    QList<QLabel *> m_dots;
    QPushButton *m_back = nullptr;
    QStackedWidget *m_steps = nullptr;
    AccountStep *m_account = nullptr;
    ConnectPhoneStep *m_connectPhone = nullptr;
    OpenClawConfigStep *m_openClaw = nullptr;
    ModelSelectionStep *m_model = nullptr;
    QCheckBox *m_startAtLogin = nullptr;
    CompletionStep *m_completion = nullptr;
};

} // namespace halvex
