#pragma once

#include "bridge/bridge_manager.h"

#include <QString>

namespace halvex {

// The bridge's seam for its agent card (BridgeManager::Dependencies::
// localModelDetector): each call runs a provider detection on the OpenClaw
// configuration under `homeDirectory` and returns the Ollama models found.
LocalModelDetector providerLocalModelDetector(QString homeDirectory);

} // namespace halvex
