#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace halvex {

// A new file beside its target, renamed over it in one step, so that a crash
// or a full disk leaves the previous file whole. The file is removed when it
// goes out of scope unless it was moved into place: no outcome (a refusal,
// an error, a cancelled write) leaves it behind.
class StagedFile
{
public:
    StagedFile() = default;
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;
    ~StagedFile() { drop(); }

    // Writes `bytes` to a new file in the folder of `target`, with
    // `permissions` before the first byte lands, and syncs them to the disk.
    Result<Done> write(const QString &target, const QByteArray &bytes, QFileDevice::Permissions permissions);
    // rename(2) replaces the target in one step; a file already there is
    // replaced, never opened, so its mode does not carry over.
    Result<Done> moveTo(const QString &target);
    // Removes the staged file, when there is one.
    void drop();

private:
    QString m_path;
};

// Writes `bytes` to `path` with `permissions` through a StagedFile. The error
// says why, without the path.
Result<Done> writeFileAtomically(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions);

} // namespace halvex
