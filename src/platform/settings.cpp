#include "platform/settings.h"

#include "platform/deployment.h"

#include <QDir>
#include <QStandardPaths>

namespace halvex {

namespace {
QString keyOf(const char *key)
{
    return QString::fromLatin1(key);
}
} // namespace

std::unique_ptr<Settings> Settings::userDefaults()
{
    return std::make_unique<Settings>(configDirectory() + QStringLiteral("/settings.conf"));
}

Settings::Settings(const QString &filePath) : m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat))
{
}

QString Settings::configDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + appId();
}

QString Settings::filePath() const
{
    return m_settings->fileName();
}

bool Settings::contains(const char *key) const
{
    return m_settings->contains(keyOf(key));
}

QVariant Settings::value(const char *key) const
{
    return m_settings->value(keyOf(key));
}

std::optional<bool> Settings::boolean(const char *key) const
{
    const QVariant v = m_settings->value(keyOf(key));
    if (!v.isValid())
        return std::nullopt;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString();
        if (s == QLatin1String("true"))
            return true;
        if (s == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

std::optional<QString> Settings::string(const char *key) const
{
    const QVariant v = m_settings->value(keyOf(key));
    if (!v.isValid() || v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

void Settings::setBoolean(const char *key, bool value)
{
    m_settings->setValue(keyOf(key), value);
    m_settings->sync();
}

void Settings::setString(const char *key, const QString &value)
{
    m_settings->setValue(keyOf(key), value);
    m_settings->sync();
}

void Settings::remove(const char *key)
{
    m_settings->remove(keyOf(key));
    m_settings->sync();
}

} // namespace halvex
