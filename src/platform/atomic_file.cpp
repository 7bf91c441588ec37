#include "platform/atomic_file.h"

#include <QFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace halvex {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

Result<Done> StagedFile::write(const QString &target, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    drop();
    QTemporaryFile file(target + QStringLiteral(".XXXXXX.tmp"));
    file.setAutoRemove(false);
    if (!file.open())
        return Error::plain(file.errorString());
    m_path = file.fileName();
    if (!file.setPermissions(permissions) || file.write(bytes) != bytes.size() || !file.flush())
        return Error::plain(file.errorString());
    if (::fsync(file.handle()) != 0)
        return Error::plain(systemError());
    file.close();
    return Done{};
}

Result<Done> StagedFile::moveTo(const QString &target)
{
    if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(target).constData()) != 0)
        return Error::plain(systemError());
    m_path.clear();
    return Done{};
}

void StagedFile::drop()
{
    if (!m_path.isEmpty())
        QFile::remove(m_path);
    m_path.clear();
}

Result<Done> writeFileAtomically(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    StagedFile staged;
    if (const Result<Done> written = staged.write(path, bytes, permissions); !written)
        return written;
    return staged.moveTo(path);
}

} // namespace halvex
