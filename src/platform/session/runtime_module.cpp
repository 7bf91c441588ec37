#include "platform/session/runtime_module.h"

#include "platform/error.h"
#include "platform/logging.h"
#include "platform/session/module_note.h"
#include "platform/session/process_runner.h" // quotedForLog

#include "build_config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>

#include <cstring>

#include <elf.h>
#include <link.h>

namespace halvex::RuntimeModule {

namespace {

using VersionFunction = const char *(*)();

QString programFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

// The largest section header table and section names table read; a module
// has a few dozen sections.
constexpr qint64 maxSectionCount = 4096;
constexpr qint64 maxNamesBytes = 1 << 20;
constexpr qint64 maxNoteBytes = 4096;

// `size` bytes at `offset` of `file`, all inside it; nothing otherwise.
std::optional<QByteArray> readAt(QFile &file, quint64 offset, quint64 size)
{
    const quint64 fileSize = quint64(file.size());
    if (offset > fileSize || size > fileSize - offset || !file.seek(qint64(offset)))
        return std::nullopt;
    QByteArray bytes = file.read(qint64(size));
    if (quint64(bytes.size()) != size)
        return std::nullopt;
    return bytes;
}

template <typename T>
T fromBytes(const QByteArray &bytes, qsizetype offset = 0)
{
    T value;
    std::memcpy(&value, bytes.constData() + offset, sizeof(T));
    return value;
}

// The identity in the build note of the module at `path`, read with plain
// file reads (nothing of the module is mapped or run); or why there is none.
Result<QByteArray> readBuildNote(const QString &path)
{
    const auto notOurs = [&path] {
        return Error::plain(
            QStringLiteral("%1 cannot be loaded: it is not a shared object for this machine").arg(path));
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error::plain(QStringLiteral("%1 cannot be loaded: %2").arg(path, file.errorString()));
    const std::optional<QByteArray> headerBytes = readAt(file, 0, sizeof(ElfW(Ehdr)));
    if (!headerBytes)
        return notOurs();
    const auto header = fromBytes<ElfW(Ehdr)>(*headerBytes);
    const unsigned char nativeClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
    const unsigned char nativeOrder = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != nativeClass ||
        header.e_ident[EI_DATA] != nativeOrder || header.e_type != ET_DYN || header.e_shentsize != sizeof(ElfW(Shdr)) ||
        header.e_shnum == 0 || header.e_shnum > maxSectionCount || header.e_shstrndx >= header.e_shnum)
        return notOurs();
    const std::optional<QByteArray> sections =
        readAt(file, header.e_shoff, quint64(header.e_shnum) * sizeof(ElfW(Shdr)));
    if (!sections)
        return notOurs();
    const auto section = [&](qsizetype index) {
        return fromBytes<ElfW(Shdr)>(*sections, index * qsizetype(sizeof(ElfW(Shdr))));
    };
    const ElfW(Shdr) namesSection = section(header.e_shstrndx);
    if (namesSection.sh_size > quint64(maxNamesBytes))
        return notOurs();
    const std::optional<QByteArray> names = readAt(file, namesSection.sh_offset, namesSection.sh_size);
    if (!names)
        return notOurs();

    for (qsizetype index = 0; index < header.e_shnum; ++index) {
        const ElfW(Shdr) candidate = section(index);
        if (candidate.sh_name >= quint64(names->size()))
            continue;
        const char *name = names->constData() + candidate.sh_name;
        if (qstrnlen(name, names->size() - candidate.sh_name) != sizeof(ModuleNote::sectionName) - 1 ||
            std::memcmp(name, ModuleNote::sectionName, sizeof(ModuleNote::sectionName) - 1) != 0)
            continue;
        const std::optional<QByteArray> notes = candidate.sh_size <= quint64(maxNoteBytes)
                                                    ? readAt(file, candidate.sh_offset, candidate.sh_size)
                                                    : std::nullopt;
        if (!notes)
            return notOurs();
        // Every note of the section, until ours.
        for (qsizetype at = 0; at + qsizetype(sizeof(ElfW(Nhdr))) <= notes->size();) {
            const auto note = fromBytes<ElfW(Nhdr)>(*notes, at);
            const qsizetype ownerAt = at + qsizetype(sizeof(ElfW(Nhdr)));
            const quint64 descriptionAt = ownerAt + ModuleNote::padded(note.n_namesz);
            const quint64 end = descriptionAt + ModuleNote::padded(note.n_descsz);
            if (note.n_namesz > quint64(maxNoteBytes) || note.n_descsz > quint64(maxNoteBytes) ||
                end > quint64(notes->size()))
                return notOurs();
            if (note.n_type == ModuleNote::type && note.n_namesz == sizeof(ModuleNote::owner) &&
                std::memcmp(notes->constData() + ownerAt, ModuleNote::owner, sizeof(ModuleNote::owner)) == 0) {
                QByteArray identity = notes->mid(qsizetype(descriptionAt), qsizetype(note.n_descsz));
                while (identity.endsWith('\0'))
                    identity.chop(1);
                return identity;
            }
            at = qsizetype(end);
        }
    }
    return Error::plain(QStringLiteral("%1 cannot be loaded: it carries no build note").arg(path));
}

} // namespace

void *Loaded::resolve(const char *symbol) const
{
    return library ? reinterpret_cast<void *>(library->resolve(symbol)) : nullptr;
}

bool sessionBusConfigured()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return !address.contains("autolaunch:");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

bool systemBusConfigured()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
        return true;
    return QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket")) ||
           QFileInfo::exists(QStringLiteral("/var/run/dbus/system_bus_socket"));
}

QStringList searchFolders()
{
    QStringList folders;
    // A development aid: a release build loads modules from its own
    // folders alone.
    if (HALVEX_DEVELOPMENT_BUILD) {
        const QString fromEnvironment = qEnvironmentVariable("HALVEX_MODULE_DIR");
        if (QDir::isAbsolutePath(fromEnvironment))
            folders << fromEnvironment;
    }
    const QDir program(programFolder());
    folders << program.path();
    for (const char *relative : {HALVEX_MODULES_FROM_BIN, HALVEX_MODULES_FROM_TRAY}) {
        const QString folder = QDir::cleanPath(program.filePath(QLatin1String(relative)));
        if (!folders.contains(folder))
            folders << folder;
    }
    return folders;
}

Loaded load(const char *fileName, const char *versionSymbol, std::initializer_list<const char *> required)
{
    const QStringList folders = searchFolders();
    const QByteArray ours(HALVEX_MODULE_IDENTITY_STRING);
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(QLatin1String(fileName));
        if (!QFileInfo(path).isFile())
            continue;
        // The build note first, from the file: loading runs the module's
        // constructors, and those of another build must never run.
        const Result<QByteArray> identity = readBuildNote(path);
        if (!identity)
            return Loaded{nullptr, identity.error().description()};
        if (*identity != ours)
            return Loaded{nullptr, QStringLiteral("%1 belongs to build %2, not %3")
                                       .arg(path, quotedForLog(QString::fromUtf8(*identity)), QString::fromUtf8(ours))};
        auto *library = new QLibrary(path);
        const auto version = reinterpret_cast<VersionFunction>(library->resolve(versionSymbol));
        bool complete = version != nullptr;
        for (const char *symbol : required)
            complete = complete && library->resolve(symbol) != nullptr;
        if (!complete || qstrcmp(version(), ours.constData()) != 0) {
            const QString why = complete ? QStringLiteral("%1 does not say the build its note names").arg(path)
                                         : QStringLiteral("%1 cannot be loaded: %2").arg(path, library->errorString());
            library->unload();
            delete library;
            return Loaded{nullptr, why};
        }
        qCDebug(lcApp, "Module loaded: %s", qUtf8Printable(path));
        return Loaded{library, QString()};
    }
    return Loaded{nullptr, QStringLiteral("%1 is missing (looked in %2)")
                               .arg(QLatin1String(fileName), folders.join(QStringLiteral(", ")))};
}

} // namespace halvex::RuntimeModule
