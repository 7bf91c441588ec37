// The user-defaults store: typed reads that tolerate foreign values, and
// writes that reach the file at once.
#include "platform/deployment.h"
#include "platform/error.h"
#include "platform/settings.h"
#include "temp_settings.h"

#include <QFile>
#include <QTest>

using namespace halvex;

class TstSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void booleansReadBackFromAFreshStore()
    {
        test::TempSettings settings;
        QVERIFY(!settings->boolean(SettingsKey::bridgeEnabled).has_value());
        settings->setBoolean(SettingsKey::bridgeEnabled, false);
        settings->setBoolean(SettingsKey::startAtLogin, true);

        // A second store on the same file sees what the first wrote.
        Settings reread(settings->filePath());
        QCOMPARE(reread.boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));
        QCOMPARE(reread.boolean(SettingsKey::startAtLogin), std::optional<bool>(true));
    }

    void valuesOfTheWrongTypeReadAsAbsent()
    {
        test::TempSettings settings;
        settings->setString(SettingsKey::bridgeEnabled, QStringLiteral("yes"));
        QVERIFY(!settings->boolean(SettingsKey::bridgeEnabled).has_value());
        QCOMPARE(settings->boolean(SettingsKey::bridgeEnabled, true), true);

        QVERIFY(!settings->string(SettingsKey::accountEmail).has_value());
    }

    void unicodeStringsSurvive()
    {
        test::TempSettings settings;
        const QString name = QStringLiteral("Küche — Mac 🍎");
        settings->setString(SettingsKey::bridgeName, name);
        Settings reread(settings->filePath());
        QCOMPARE(reread.string(SettingsKey::bridgeName), std::optional<QString>(name));
        reread.remove(SettingsKey::bridgeName);
        QVERIFY(!Settings(settings->filePath()).contains(SettingsKey::bridgeName));
    }

    void errorDescriptionsAreTheUserFacingSentences()
    {
        QCOMPARE(Error(BridgeError::networkError(QStringLiteral("timed out"))).description(),
                 QStringLiteral("Network error: timed out"));
        QCOMPARE(Error(BridgeError::apiError(QStringLiteral("Bad token"))).description(), QStringLiteral("Bad token"));
        QCOMPARE(Error(BridgeError::openClawWebSocketNotConnected()).description(),
                 QStringLiteral("OpenClaw WebSocket not connected"));
        QCOMPARE(Error::plain(QStringLiteral("Connection refused")).description(),
                 QStringLiteral("Connection refused"));
    }

    void credentialServicesCarryTheApplicationIdentifier()
    {
        QCOMPARE(CredentialService::bridge(), appId() + QStringLiteral(".bridge"));
        QCOMPARE(CredentialService::openClawDeviceKey(), appId() + QStringLiteral(".openclaw.device-key"));
        QVERIFY(!appShortVersion().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"
