#pragma once

#include "models/model_recommendation.h"

#include <QWidget>
#include <qcoro/qcorotask.h>

#include <chrono>
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
// model marked, a one-token test of a local model, a summary of what saving
// the selected row would change with OpenClaw's verdict (a dry run, in the
// background), and "Save", which writes the choice through the same writer
// as `halvex-bridge models set`, shows "Saved!" and closes the window; a
// refusal shows OpenClaw's reason and keeps the window open.
class ModelSelectionView : public QWidget
{
    Q_OBJECT
public:
    struct Timings {
        std::chrono::milliseconds closeAfterSave = std::chrono::milliseconds(1500);
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
    // What saving the selected row would change, and the verdict.
    QString summaryText() const;
    bool isPreviewing() const { return m_previewing; }
    bool saved() const { return m_saved; }
    ModelListWidget *list() const { return m_list; }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QCoro::Task<> test();
    QCoro::Task<> save();
    QCoro::Task<> preview();
    void setBusy(bool busy);
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
    int m_previewGeneration = 0;
    int m_busyCount = 0;
    bool m_previewing = false;

    QLabel *m_current = nullptr;
    QLabel *m_detecting = nullptr;
    QProgressBar *m_busy = nullptr;
    QStackedWidget *m_content = nullptr; // list, empty
    ModelListWidget *m_list = nullptr;
    QLabel *m_testLabel = nullptr;
    QLabel *m_summary = nullptr;
    QLabel *m_error = nullptr;
    QPushButton *m_save = nullptr;
    QLabel *m_savedLabel = nullptr;
};

} // namespace halvex
