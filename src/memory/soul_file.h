#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace halvex {

// One dated line of recent activity.
struct Episode {
    QString date; // YYYY-MM-DD (UTC)
    QString summary;
    bool operator==(const Episode &) const = default;
};

struct Relationship {
    std::optional<QString> userName;
    QStringList facts;
    QStringList preferences;
    std::optional<QString> lastUpdated; // 2026-12-06T12:37:22Z
    bool operator==(const Relationship &) const = default;
};

struct SoulFileMetadata {
    std::optional<qint64> totalSessions;
    std::optional<qint64> totalMessages;
    bool operator==(const SoulFileMetadata &) const = default;
};

// What the user's agent knows about the user, as the relay keeps it per
// avatar id. Key names and optionality are shared with the relay and the
// companion apps. Decoding is strict: a missing required member or a member
// of the wrong type fails the whole decode; unknown members are ignored.
// Absent optional members are omitted on encode, never written as null.
struct SoulFile {
    QString version;
    QString avatarId;
    Relationship relationship;
    QList<Episode> episodes;
    SoulFileMetadata metadata;

    bool operator==(const SoulFile &) const = default;

    static Result<SoulFile> decode(const QByteArray &json);
    static Result<SoulFile> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
    QByteArray encode() const;
};

// The relay's answer to a fetch.
struct SoulFileResponse {
    bool found = false;
    std::optional<SoulFile> data;
    std::optional<QString> updatedAt;

    static Result<SoulFileResponse> decode(const QByteArray &json);
};

// The version and avatar id of a soul file the bridge creates.
inline constexpr char kSoulFileVersion[] = "1.0";
inline constexpr char kMemoryAvatarId[] = "global";

// A timestamp as the soul file writes it: UTC, no fractional seconds.
QString soulFileTimestamp(const QDateTime &time);

// The most a merged soul file takes, encoded (compact JSON, UTF-8). The
// bridge reads at most 8 MiB of the relay's answer; a relay that writes the
// file back with every non-ASCII character escaped as \uXXXX makes it at
// most three times larger, still within that with room for the envelope.
inline constexpr qsizetype kMaxSoulFileBytes = 2 * 1024 * 1024;

// What keeping a soul file within its bound dropped.
struct SoulFileTrim {
    qsizetype facts = 0;
    qsizetype episodes = 0;
    qsizetype preferences = 0;
    bool isEmpty() const { return facts == 0 && episodes == 0 && preferences == 0; }
};

// Drops entries, oldest first, until `file` encodes to at most `maxBytes`:
// from facts or episodes, whichever takes more room at the time, and from
// preferences only when neither is left. Says what it dropped.
SoulFileTrim trimSoulFile(SoulFile &file, qsizetype maxBytes = kMaxSoulFileBytes);

// The existing file (or a new empty one) with the new facts and preferences
// appended unless already present (exact comparison, against the list as it
// grows), one episode for the activity sentence, and lastUpdated = now; then
// kept within `maxBytes` by trimSoulFile (logged). Nothing is reordered.
SoulFile mergeSoulFile(const std::optional<SoulFile> &existing, const QStringList &newFacts,
                       const QStringList &newPreferences, const std::optional<QString> &recentActivity,
                       const QDateTime &now, qsizetype maxBytes = kMaxSoulFileBytes);

} // namespace halvex
