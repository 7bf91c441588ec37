#pragma once

#include "models/mobile_model_config_writer.h"

#include <QString>
#include <QStringList>

#include <functional>

class QNetworkAccessManager;
class QTextStream;

namespace halvex::cli {

// What `halvex-bridge models` works with; the real command uses the user's
// home directory and finds the installed `openclaw` for its validator.
struct ModelsCommandContext {
    QNetworkAccessManager *network = nullptr;
    QString homeDirectory;
    QString localOllamaHost; // empty: the standard one
    // OpenClaw's own check of a candidate configuration, found when needed;
    // empty result: the schema check alone (the reason goes to the user).
    std::function<QCoro::Task<std::pair<ConfigValidator, QString>>()> validator;
};

// `halvex-bridge models [--json]`: detected providers, the current mobile
// model and the grouped recommendations.
// `halvex-bridge models set REF`: makes REF the mobile agent's model.
// `halvex-bridge models test REF`: the one-token latency test of a local model.
int runModelsCommand(const QStringList &arguments);
int runModelsCommand(const QStringList &arguments, const ModelsCommandContext &context, QTextStream &out,
                     QTextStream &err);

} // namespace halvex::cli
