#pragma once

#include "platform/settings.h"

#include <QTemporaryDir>

#include <memory>

namespace halvex::test {

// A private user-defaults store in a temporary folder; never the user's.
class TempSettings
{
public:
    TempSettings() : m_settings(std::make_unique<Settings>(m_dir.filePath(QStringLiteral("settings.conf")))) {}
    Settings *get() const { return m_settings.get(); }
    Settings *operator->() const { return m_settings.get(); }
    QString directory() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Settings> m_settings;
};

} // namespace halvex::test
