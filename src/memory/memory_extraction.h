#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace halvex {

// What the agent reported as new about the user.
struct ExtractedFacts {
    QStringList newFacts;
    QStringList newPreferences;
    std::optional<QString> recentActivity;

    bool isEmpty() const { return newFacts.isEmpty() && newPreferences.isEmpty() && !recentActivity; }
};

// Limits on what one answer may add: a rambling model must not bloat the
// soul file for good.
struct ExtractionLimits {
    qsizetype maxEntryCharacters = 500;
    qsizetype maxEntriesPerList = 100;
};

// The question put to the agent, with the facts it already told us.
QString memorySyncPrompt(const QStringList &existingFacts);

// Reads the agent's answer leniently: code fences and prose before the JSON
// are dropped. Nothing when the rest is not a JSON object. Members of the
// wrong type count as absent; entries are trimmed, empty ones dropped, long
// ones cut to the limits.
std::optional<ExtractedFacts> parseExtractionAnswer(const QString &answer, const ExtractionLimits &limits = {});

} // namespace halvex
