#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <functional>

namespace halvex {

// One chat message: string keys to string values, at least "role" and
// "content"; other members are passed through to the gateway unchanged.
using ChatMessage = QMap<QString, QString>;
using ChatMessages = QList<ChatMessage>;

// A streamed answer's progress: the new fragment and the whole text so far.
using DeltaHandler = std::function<void(const QString &delta, const QString &accumulated)>;

} // namespace halvex
