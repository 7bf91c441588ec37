#pragma once

#include "models/mobile_model_config_writer.h"

#include <QString>
#include <QStringList>

#include <functional>

class QTextStream;

namespace halvex::cli {

// What `halvex-bridge models` works with; the real command uses the user's
// home directory and finds the installed `openclaw`, whose own writer
// changes the configuration.
struct ModelsCommandContext {
    QString homeDirectory;
    QString localOllamaHost; // empty: the standard one
    // Finds the `openclaw` tool when a change is written; empty, or no
    // tool found: Halvex Bridge writes the file itself (the reason goes to
    // the user).
    OpenClawToolFinder findTool;
};

// `halvex-bridge models [--json]`: detected providers, the current mobile
// model and the grouped recommendations.
// `halvex-bridge models set REF [--dry-run]`: makes REF the mobile agent's
// model (with --dry-run: prints the patch and OpenClaw's verdict only).
// `halvex-bridge models test REF`: the one-token latency test of a local model.
int runModelsCommand(const QStringList &arguments);
int runModelsCommand(const QStringList &arguments, const ModelsCommandContext &context, QTextStream &out,
                     QTextStream &err);

} // namespace halvex::cli
