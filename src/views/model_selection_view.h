#pragma once

#include "models/model_recommendation.h"

#include <QWidget>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace halvex {

class ModelListWidget;
class ProviderDetectionService;
struct WindowServices;

// The "Mobile Model" window: the grouped recommendations with the current
// model marked, a one-token test of a local model, and "Save", which writes
// the choice, shows "Saved!" and closes the window.
class ModelSelectionView : public QWidget
{
    Q_OBJECT
public:
    struct Timings {
        int closeAfterSaveMs = 1500;
    };

    explicit ModelSelectionView(const WindowServices &services, QWidget *parent = nullptr);
    ModelSelectionView(const WindowServices &services, Timings timings, QWidget *parent = nullptr);
    ~ModelSelectionView() override;

    QCoro::Task<> load();

    bool isLoaded() const { return m_loaded; }
    std::optional<QString> selectedModelId() const { return m_selectedModelId; }
    QString currentLine() const;
    QString testText() const;
    QString errorText() const;
    bool saved() const { return m_saved; }
    ModelListWidget *list() const { return m_list; }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QCoro::Task<> test();
    QCoro::Task<> save();
    void showTest(const QString &text, std::optional<bool> ok);

    const WindowServices &m_services;
    Timings m_timings;
    // Shared with the operations that run on it, so that closing the window
    // while one runs leaves the service alive until it ends.
    std::shared_ptr<ProviderDetectionService> m_detection;
    std::optional<QString> m_selectedModelId;
    QList<ModelRecommendation> m_recommendations;
    bool m_loaded = false;
    bool m_saved = false;
    int m_testGeneration = 0;

    QLabel *m_current = nullptr;
    QLabel *m_detecting = nullptr;
    QProgressBar *m_busy = nullptr;
    QStackedWidget *m_content = nullptr; // list, empty
    ModelListWidget *m_list = nullptr;
    QLabel *m_testLabel = nullptr;
    QLabel *m_error = nullptr;
    QPushButton *m_save = nullptr;
    QLabel *m_savedLabel = nullptr;
};

} // namespace halvex
