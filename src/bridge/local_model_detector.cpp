#include "bridge/local_model_detector.h"
#include "models/provider_detection_service.h"

namespace halvex {

LocalModelDetector providerLocalModelDetector(QString homeDirectory)
{
    return [homeDirectory]() -> QCoro::Task<QList<LocalModel>> {
        ProviderDetectionService::Dependencies deps;
        deps.homeDirectory = homeDirectory;
        ProviderDetectionService service(deps);
        co_await service.detectAll();
        QList<LocalModel> models;
        for (const DetectedOllamaModel &model : service.ollamaModels())
            models.append(LocalModel{model.name, model.sizeGB, model.parameterSize});
        co_return models;
    };
}

} // namespace halvex
