#pragma once

#include "models/model_recommendation.h"

#include <QString>
#include <QWidget>
#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace halvex {

class ModelListWidget;
class ProviderDetectionService;
struct WindowServices;

// Wizard step 4: the model of the phone companion, chosen from the grouped
// recommendations, with a one-token test of a local model. Only a choice
// the writer will take is selected for the user; when nothing usable is
// detected the step says so and offers what to do (install Ollama, add a
// provider key, or skip). "Continue" writes the choice through the same
// writer as `halvex-bridge models set`, in the background with the busy
// bar; a refusal shows OpenClaw's reason under the form and the wizard
// stays, with "Skip" to go on without a model.
class ModelSelectionStep : public QWidget
{
    Q_OBJECT
public:
    ModelSelectionStep(const WindowServices &services, std::shared_ptr<ProviderDetectionService> detection,
                       QWidget *parent = nullptr);

    // Detects the providers and builds the list (each time the step shows).
    QCoro::Task<> load();

    std::optional<QString> selectedModelId() const { return m_selectedModelId; }
    QString testText() const;
    bool isLoaded() const { return m_loaded; }
    // Nothing usable was detected (only choices that would be refused).
    bool offersAlternatives() const;
    QString errorText() const;

Q_SIGNALS:
    // The user is done with this step.
    void done();

private:
    QCoro::Task<> test();
    QCoro::Task<> saveAndContinue();
    void showTest(const QString &text, std::optional<bool> ok);

    const WindowServices &m_services;
    std::shared_ptr<ProviderDetectionService> m_detection;
    std::optional<QString> m_selectedModelId;
    QList<ModelRecommendation> m_recommendations;
    bool m_loaded = false;
    int m_testGeneration = 0;

    QLabel *m_scanning = nullptr;
    QProgressBar *m_busy = nullptr;
    ModelListWidget *m_list = nullptr;
    QLabel *m_context = nullptr;
    QLabel *m_explanation = nullptr;
    QLabel *m_testLabel = nullptr;
    QLabel *m_error = nullptr;
    QWidget *m_nothingUsable = nullptr;
    QPushButton *m_continue = nullptr;
    QPushButton *m_skip = nullptr;
};

} // namespace halvex
