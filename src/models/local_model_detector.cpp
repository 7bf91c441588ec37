#include "models/local_model_detector.h"
#include "models/provider_detection_service.h"

namespace halvex {

LocalModelDetector providerLocalModelDetector(QNetworkAccessManager *network, QString homeDirectory)
{
    return [network, homeDirectory]() -> QCoro::Task<QList<LocalModel>> {
        ProviderDetectionService::Dependencies deps;
        deps.network = network;
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
