#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

namespace halvex {

// One model of the reachable Ollama server.
struct DetectedOllamaModel {
    QString name;          // base name, optionally ":" and a tag
    qint64 sizeBytes = 0;  // 0 when not reported
    double sizeGB = 0.0;   // sizeBytes / 1e9, one decimal, half away from zero
    QString parameterSize; // e.g. "8.0B"; empty when not reported

    // sizeBytes in gigabytes rounded to one decimal, half away from zero.
    static double gigabytes(qint64 sizeBytes);

    bool operator==(const DetectedOllamaModel &) const = default;
};

struct DetectedCloudModel {
    QString id;
    QString name;
    QString providerId;
    int contextWindow = 0;
    bool reasoning = false;

    bool operator==(const DetectedCloudModel &) const = default;
};

// A provider listed in the OpenClaw configuration other than Ollama.
struct DetectedCloudProvider {
    QString id; // its key in models.providers
    QString displayName;
    bool hasAPIKey = false;
    QList<DetectedCloudModel> models;

    bool operator==(const DetectedCloudProvider &) const = default;
};

} // namespace halvex
