// Start-up and end of the application: the launch order with and without a
// bridge token, the tray-less fallback, requests from a later launch, and
// one instance per session, the last also with the real program started
// twice.
#include "app/tray_application.h"
#include "app/tray_controller.h"
#include "bridge/bridge_manager.h"
#include "bridge_rig.h"
#include "log_capture.h"
#include "loopback.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/login_item.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"
#include "relay_stand_in.h"
#include "service/tray_launcher.h"
#include "temp_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace halvex;
using halvex::test::LogCapture;
using halvex::test::RelayStandIn;
using halvex::test::TempSettings;

namespace {

constexpr int kWait = 20000;
const QString kToken = QStringLiteral("bridge-token-launch");
const QString kLaunching = QStringLiteral("Halvex Bridge launching");
const QString kTerminating = QStringLiteral("Halvex Bridge terminating");
const QString kNoToken = QStringLiteral("Cannot start — no bridge token in the credential store");
const QString kWizard = QStringLiteral("Setup wizard not available yet — pair this bridge to start");
const QString kDuplicate = QStringLiteral("Already connected — skipping duplicate connect");
const QString kNoTray = QStringLiteral("No system tray available — running as the headless bridge");
const QString kAlreadyRunning = QStringLiteral("Halvex Bridge is already running — asked it to show itself");

// What the real program gets at launch, with private stores and a loopback
// relay. The tray application creates the bridge manager through make().
struct Rig : public test::BridgeTestBed {
    QUrl relayOrigin;
    XdgAutostartLoginItem loginItem{home.filePath(QStringLiteral("autostart"))};
    int created = 0;

    explicit Rig(QUrl relay) : relayOrigin(std::move(relay))
    {
        settings->setString(SettingsKey::openClawEndpoint,
                            QStringLiteral("http://127.0.0.1:") + QString::number(test::closedLoopbackPort()));
    }

    BridgeManager *make()
    {
        ++created;
        bridge = std::make_unique<BridgeManager>(dependencies(relayOrigin), timings);
        return bridge.get();
    }

    TrayApplication::Options options(bool tray)
    {
        TrayApplication::Options o;
        o.loginItem = &loginItem;
        o.systemTrayAvailable = [tray] { return tray; };
        return o;
    }
};

// The running program's own logs (and a private store) for a child process.
QProcessEnvironment childEnvironment(const QString &root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
    // No Secret Service: the children keep their secrets in the private
    // file store and leave the session's keyring alone.
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + root + QStringLiteral("/no-bus"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    for (const char *dir : {"/home", "/config", "/data", "/run"})
        QDir().mkpath(root + QLatin1String(dir));
    QFile::setPermissions(root + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return env;
}

QString programPath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/halvex-bridge"));
}

// Collects a child's output as it comes.
struct Child {
    QProcess process;
    QString output;

    void start(const QProcessEnvironment &env, const QStringList &arguments = {})
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, &process,
                         [this] { output += QString::fromUtf8(process.readAll()); });
        process.start(programPath(), arguments);
    }
    bool waitForLine(const QString &text, int timeoutMs = kWait)
    {
        return QTest::qWaitFor([&] { return output.contains(text); }, timeoutMs);
    }
    bool waitForExit(int timeoutMs = kWait)
    {
        const bool exited = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        output += QString::fromUtf8(process.readAll());
        return exited;
    }
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWait);
        }
    }
};

// Binds a Unix socket at `path` and closes it without removing the file, as
// a crashed program leaves it.
bool leaveStaleSocket(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un address = {};
    if (size_t(bytes.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound && QFile::exists(path);
}

// The shared libraries a running process has mapped.
QStringList mappedLibraries(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    QStringList libraries;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const qsizetype slash = line.indexOf('/');
        if (slash < 0)
            continue;
        const QString path = QString::fromLocal8Bit(line.mid(slash));
        if (path.contains(QLatin1String(".so")) && !libraries.contains(path))
            libraries << path;
    }
    return libraries;
}

} // namespace

class TstLaunch : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<halvex::TrayController *>(); }

    // No bridge token: the bridge manager is created once, its state is
    // error("No bridge token") with one error line, and the setup wizard is
    // asked for.
    void firstLaunchWithoutToken()
    {
        RelayStandIn relay;
        QVERIFY(relay.start());
        Rig rig(relay.origin());
        TrayApplication trayApp([&rig] { return rig.make(); }, rig.options(true));

        LogCapture log;
        trayApp.launch();

        QCOMPARE(rig.created, 1);
        QCOMPARE(trayApp.bridgeManager(), rig.bridge.get());
        QVERIFY(trayApp.trayController());
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed());
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::error(QStringLiteral("No bridge token")));
        QCOMPARE(log.count(QtCriticalMsg, kNoToken), 1);
        QCOMPARE(log.count(kLaunching), 1);
        QCOMPARE(log.count(kWizard), 1);
        QStringList order;
        for (const LogCapture::Line &line : log.lines()) {
            if (line.message == kLaunching || line.message == kNoToken || line.message == kWizard)
                order << line.message;
        }
        QCOMPARE(order, (QStringList{kLaunching, kNoToken, kWizard}));
        QCOMPARE(relay.attemptCount(), 0);
        // The menu shows the error.
        QTRY_COMPARE_WITH_TIMEOUT(trayApp.trayController()->menu()->actions().at(2)->text(),
                                  QStringLiteral("✕ Error: No bridge token"), kWait);
    }

    // With a wizard plugged in, the first launch opens it in front.
    void firstLaunchOpensTheWizard()
    {
        Rig rig(QUrl(QStringLiteral("ws://127.0.0.1:") + QString::number(test::closedLoopbackPort())));
        TrayApplication trayApp([&rig] { return rig.make(); }, rig.options(true));
        QObject::connect(&trayApp, &TrayApplication::trayControllerCreated, &trayApp, [](TrayController *menu) {
            menu->setSetupWizardFactory([](BridgeManager *, std::function<void()>) { return new QWidget; });
        });
        trayApp.launch();
        QWidget *wizard = trayApp.trayController()->setupWindow();
        QVERIFY(wizard);
        QVERIFY(wizard->isVisible());
        QCOMPARE(wizard->windowTitle(), QStringLiteral("Halvex Bridge Setup"));
    }

    // A stored token: the launch starts the bridge once; the relay sees one
    // connection.
    void launchWithTokenStartsTheBridgeOnce()
    {
        RelayStandIn relay;
        QVERIFY(relay.start());
        relay.acceptToken(kToken);
        Rig rig(relay.origin());
        (void)rig.credentials->save(CredentialService::bridge(), kToken);
        TrayApplication trayApp([&rig] { return rig.make(); }, rig.options(true));

        LogCapture log;
        trayApp.launch();
        QCOMPARE(log.count(kDuplicate), 0);
        QCOMPARE(log.count(kWizard), 0);
        QCOMPARE(log.count(kNoToken), 0);
        QVERIFY(log.waitFor(QStringLiteral("Connected to relay"), 1, kWait));
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->connectionState(), BridgeConnectionState::connected(), kWait);
        QCOMPARE(relay.attemptCount(), 1);
        QCOMPARE(relay.openConnectionCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(trayApp.trayController()->statusIconManager()->state(), IconState::partiallyConnected,
                                  kWait);
    }

    // A token with the bridge switched off: nothing connects.
    void launchWithTokenWhileDisabled()
    {
        RelayStandIn relay;
        QVERIFY(relay.start());
        relay.acceptToken(kToken);
        Rig rig(relay.origin());
        (void)rig.credentials->save(CredentialService::bridge(), kToken);
        rig.settings->setBoolean(SettingsKey::bridgeEnabled, false);
        TrayApplication trayApp([&rig] { return rig.make(); }, rig.options(true));

        LogCapture log;
        trayApp.launch();
        QVERIFY(!rig.bridge->relayWebSocket()->isRunning());
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::disconnected());
        QCOMPARE(log.count(kWizard), 0);
        QTRY_COMPARE_WITH_TIMEOUT(trayApp.trayController()->statusIconManager()->state(), IconState::disabled, kWait);
        QCOMPARE(relay.attemptCount(), 0);
    }

    // No tray: the program says so and serves as the headless bridge with
    // the same bridge manager; a tray that appears later gets the icon.
    void withoutTrayServesHeadless()
    {
        RelayStandIn relay;
        QVERIFY(relay.start());
        relay.acceptToken(kToken);
        Rig rig(relay.origin());
        (void)rig.credentials->save(CredentialService::bridge(), kToken);
        bool tray = false;
        TrayApplication::Options options = rig.options(false);
        options.systemTrayAvailable = [&tray] { return tray; };
        options.timings.trayCheckInterval = std::chrono::milliseconds(20);
        TrayApplication trayApp([&rig] { return rig.make(); }, options);
        QSignalSpy created(&trayApp, &TrayApplication::trayControllerCreated);

        LogCapture log;
        trayApp.launch();
        QCOMPARE(log.count(kNoTray), 1);
        QVERIFY(!trayApp.trayController());
        QVERIFY(relay.waitForAccepted(1, kWait));
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->connectionState(), BridgeConnectionState::connected(), kWait);

        // Another launch asks it to show itself: nothing to show, said so.
        trayApp.handleInstanceRequest("show");
        QCOMPARE(log.count(QStringLiteral("Running as the headless bridge — there is no window to show")), 1);

        tray = true;
        QVERIFY(created.wait(kWait));
        QVERIFY(trayApp.trayController());
        QCOMPARE(trayApp.trayController()->bridgeManager(), rig.bridge.get());
        QCOMPARE(rig.created, 1);
        QCOMPARE(log.count(QStringLiteral("A system tray appeared — showing the status icon")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(trayApp.trayController()->menu()->actions().at(2)->text(),
                                  QStringLiteral("● Connected to ") + relayHost(), kWait);
        QCOMPARE(relay.attemptCount(), 1);
    }

    // "show" from a later launch: the setup wizard while unpaired, else the
    // menu pops up. Anything else is ignored.
    void showRequestFromAnotherLaunch()
    {
        Rig rig(QUrl(QStringLiteral("ws://127.0.0.1:") + QString::number(test::closedLoopbackPort())));
        TrayApplication trayApp([&rig] { return rig.make(); }, rig.options(true));
        trayApp.launch();

        LogCapture log;
        trayApp.handleInstanceRequest("show");
        QCOMPARE(log.count(kWizard), 1);

        (void)rig.credentials->save(CredentialService::bridge(), kToken);
        trayApp.handleInstanceRequest("show");
        QCOMPARE(log.count(kWizard), 1);
        QMenu *menu = trayApp.trayController()->menu();
        QVERIFY(menu->isVisible());
        menu->hide();

        trayApp.handleInstanceRequest("quit");
        QCOMPARE(log.count(QStringLiteral("Ignoring a request from another launch: quit")), 1);
        QVERIFY(!menu->isVisible());
    }

    // The first instance takes requests; a second one finds it and cannot
    // take its place; once it is gone the place is free again.
    void singleInstanceHandsOverRequests()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("instance"));
        auto first = std::make_unique<SingleInstance>(name);
        QVERIFY(first->listen());
        QSignalSpy requests(first.get(), &SingleInstance::requestReceived);

        SingleInstance second(name);
        QVERIFY(second.notifyRunning("show"));
        QVERIFY(requests.wait(kWait));
        QCOMPARE(requests.first().first().toByteArray(), QByteArray("show"));
        QVERIFY(!second.listen());
        QVERIFY(first->isListening());

        first.reset();
        QVERIFY(!second.notifyRunning("show"));
        QVERIFY(second.listen());

        const QString defaultName = SingleInstance::defaultServerName();
        QVERIFY(defaultName.contains(appId()));
        QVERIFY(defaultName.contains(QString::number(::getuid())));
    }

    // A socket file left by a crashed instance is cleared, not obeyed.
    void staleSocketFileIsReplaced()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("instance"));
        QVERIFY(leaveStaleSocket(name));

        SingleInstance instance(name);
        QVERIFY(!instance.notifyRunning("show"));
        LogCapture log;
        QVERIFY(instance.listen());
        QCOMPARE(log.countStartingWith(QStringLiteral("Removing a stale instance socket: ")), 1);
        SingleInstance later(name);
        QVERIFY(later.notifyRunning("show"));
    }

    // The real program started twice in one session: the second launch
    // hands over and leaves at once, without starting a bridge; SIGTERM ends
    // the first cleanly; after a crash the next launch takes over.
    void realProgramRunsOncePerSession()
    {
        if (!QFile::exists(programPath()))
            QSKIP("halvex-bridge is not built");
        QTemporaryDir root;
        const QProcessEnvironment env = childEnvironment(root.path());

        Child first;
        first.start(env);
        QVERIFY2(first.waitForLine(kNoTray), qPrintable(first.output));
        QVERIFY(first.output.contains(kLaunching));

        Child second;
        second.start(env);
        QVERIFY2(second.waitForExit(), qPrintable(second.output));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
        QVERIFY2(second.output.contains(kAlreadyRunning), qPrintable(second.output));
        QVERIFY2(!second.output.contains(kLaunching), qPrintable(second.output));
        QVERIFY2(!second.output.contains(QLatin1String(".Bridge]")), qPrintable(second.output));
        QVERIFY2(first.waitForLine(QStringLiteral("Another launch asked to show Halvex Bridge")),
                 qPrintable(first.output));

        first.process.terminate();
        QVERIFY2(first.waitForExit(), qPrintable(first.output));
        QCOMPARE(first.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process.exitCode(), 0);
        QVERIFY2(first.output.contains(kTerminating), qPrintable(first.output));

        // A crash leaves the socket file behind; the next launch clears it.
        Child crashed;
        crashed.start(env);
        QVERIFY2(crashed.waitForLine(kNoTray), qPrintable(crashed.output));
        crashed.process.kill();
        QVERIFY(crashed.waitForExit());

        Child next;
        next.start(env);
        QVERIFY2(next.waitForLine(kNoTray), qPrintable(next.output));
        QVERIFY2(next.output.contains(QLatin1String("Removing a stale instance socket: ")), qPrintable(next.output));
        next.process.terminate();
        QVERIFY2(next.waitForExit(), qPrintable(next.output));
        QCOMPARE(next.process.exitCode(), 0);
    }

    // On a server without any display the program neither aborts nor
    // hangs: it says so and serves as the headless bridge until SIGINT.
    void realProgramWithoutDisplay()
    {
        if (!QFile::exists(programPath()))
            QSKIP("halvex-bridge is not built");
        QTemporaryDir root;
        QProcessEnvironment env = childEnvironment(root.path());
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
            env.remove(QString::fromLatin1(name));

        Child child;
        child.start(env);
        QVERIFY2(child.waitForLine(kNoTray), qPrintable(child.output));
        QVERIFY2(child.output.contains(QStringLiteral("No display available — continuing without a window system")),
                 qPrintable(child.output));
        ::kill(pid_t(child.process.processId()), SIGINT);
        QVERIFY2(child.waitForExit(), qPrintable(child.output));
        QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.process.exitCode(), 0);
        QVERIFY(child.output.contains(kTerminating));
    }

    // The headless bridge holds the session's one instance too: neither a
    // second headless bridge nor the tray program starts beside it, and
    // SIGTERM stops it cleanly.
    void realHeadlessProgramRunsOncePerSession()
    {
        if (!QFile::exists(programPath()))
            QSKIP("halvex-bridge is not built");
        QTemporaryDir root;
        const QProcessEnvironment env = childEnvironment(root.path());
        const QStringList headless{QStringLiteral("--headless")};

        Child first;
        first.start(env, headless);
        QVERIFY2(first.waitForLine(QStringLiteral("No bridge token is stored")), qPrintable(first.output));

        Child secondHeadless;
        secondHeadless.start(env, headless);
        QVERIFY2(secondHeadless.waitForExit(), qPrintable(secondHeadless.output));
        QCOMPARE(secondHeadless.process.exitCode(), 0);
        QVERIFY2(secondHeadless.output.contains(
                     QStringLiteral("Halvex Bridge is already running — not starting a second bridge")),
                 qPrintable(secondHeadless.output));
        QVERIFY2(!secondHeadless.output.contains(QLatin1String("No bridge token is stored")),
                 qPrintable(secondHeadless.output));

        Child tray;
        tray.start(env);
        QVERIFY2(tray.waitForExit(), qPrintable(tray.output));
        QCOMPARE(tray.process.exitCode(), 0);
        QVERIFY2(tray.output.contains(kAlreadyRunning), qPrintable(tray.output));

        first.process.terminate();
        QVERIFY2(first.waitForExit(), qPrintable(first.output));
        QCOMPARE(first.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process.exitCode(), 0);
        QVERIFY2(first.output.contains(kTerminating), qPrintable(first.output));
    }

    // The headless bridge (the same program as every terminal command) keeps
    // off the widget stack: neither Qt Gui nor any window system is mapped,
    // only the tray program loads them. Nor is D-Bus, while it idles.
    void headlessProgramLoadsNoWidgetStack()
    {
        if (!QFile::exists(programPath()))
            QSKIP("halvex-bridge is not built");
        const QRegularExpression widgetStack(
            QStringLiteral("libQt6(Gui|Widgets|OpenGL)|libX11|libxcb|libwayland|libEGL|libGL"));
        const QRegularExpression secretStack(QStringLiteral("halvex-secret-service|libsecret|libgio"));
        // D-Bus is loaded when a notification is sent or gateways are looked
        // for, and by the idle bridge only to hear of network changes and
        // resumes from the system bus, where there is one.
        const QRegularExpression busStack(QStringLiteral("halvex-desktop-bus|libQt6DBus|libdbus-1|libsystemd"));
        const bool systemBusHere = QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket")) ||
                                   QFileInfo::exists(QStringLiteral("/var/run/dbus/system_bus_socket"));
        // A server: no session bus configured, so nothing of the Secret
        // Service is loaded either. With a session bus configured (one that
        // is not there) the module is found beside the program and asked;
        // so is the desktop-bus one with a system bus (here: one that is not
        // there).
        for (const bool busConfigured : {false, true}) {
            QTemporaryDir root;
            QProcessEnvironment env = childEnvironment(root.path());
            if (busConfigured) {
                env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + root.path() + QStringLiteral("/no-system-bus"));
            } else {
                env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
                env.remove(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"));
            }
            Child headless;
            headless.start(env, {QStringLiteral("--headless")});
            QVERIFY2(headless.waitForLine(QStringLiteral("No bridge token is stored")), qPrintable(headless.output));
            const QStringList libraries = mappedLibraries(headless.process.processId());
            const QString all = libraries.join(QLatin1Char(' '));
            QVERIFY2(!libraries.filter(QStringLiteral("libQt6Core.so")).isEmpty(), qPrintable(all));
            QVERIFY(!libraries.filter(QStringLiteral("libQt6Network.so")).isEmpty());
            QVERIFY2(libraries.filter(widgetStack).isEmpty(), qPrintable(all));
            QCOMPARE(!libraries.filter(busStack).isEmpty(), busConfigured || systemBusHere);
            if (busConfigured) {
                QVERIFY2(!libraries.filter(QStringLiteral("/halvex-secret-service.so")).isEmpty(), qPrintable(all));
            } else {
                QVERIFY2(libraries.filter(secretStack).isEmpty(), qPrintable(all));
            }
            headless.process.terminate();
            QVERIFY2(headless.waitForExit(), qPrintable(headless.output));
            QCOMPARE(headless.process.exitCode(), 0);
        }
    }

    // The two programs find each other beside each other (the build tree)
    // and in the package's layout: /usr/bin and /usr/libexec/halvex-bridge.
    void programsFindEachOther()
    {
        QTemporaryDir root;
        const auto place = [&root](const QString &path) {
            QDir().mkpath(QFileInfo(root.filePath(path)).absolutePath());
            QFile file(root.filePath(path));
            return file.open(QIODevice::WriteOnly) && file.setPermissions(file.permissions() | QFile::ExeOwner);
        };
        const QString bin = root.filePath(QStringLiteral("usr/bin/halvex-bridge"));
        const QString tray = root.filePath(QStringLiteral("usr/libexec/halvex-bridge/halvex-bridge-tray"));
        QVERIFY(place(QStringLiteral("usr/bin/halvex-bridge")));
        QCOMPARE(trayProgramPath(bin), QString());
        QVERIFY(place(QStringLiteral("usr/libexec/halvex-bridge/halvex-bridge-tray")));
        QCOMPARE(trayProgramPath(bin), tray);
        QCOMPARE(bridgeProgramPath(tray), bin);

        const QString besideBin = root.filePath(QStringLiteral("build/halvex-bridge"));
        QVERIFY(place(QStringLiteral("build/halvex-bridge")));
        QVERIFY(place(QStringLiteral("build/halvex-bridge-tray")));
        QCOMPARE(trayProgramPath(besideBin), root.filePath(QStringLiteral("build/halvex-bridge-tray")));
        QCOMPARE(bridgeProgramPath(root.filePath(QStringLiteral("build/halvex-bridge-tray"))), besideBin);
    }

    // Without the tray program beside it (nor where the package puts it),
    // a launch without a command says so and how to run without a tray.
    void missingTrayProgramIsAClearError()
    {
        if (!QFile::exists(programPath()))
            QSKIP("halvex-bridge is not built");
        QTemporaryDir root;
        const QString lonely = root.filePath(QStringLiteral("bin/halvex-bridge"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("bin"))));
        QVERIFY(QFile::copy(programPath(), lonely));
        Child child;
        QProcessEnvironment env = childEnvironment(root.path());
        child.process.setProcessEnvironment(env);
        child.process.setProcessChannelMode(QProcess::MergedChannels);
        child.process.start(lonely, {});
        QVERIFY2(child.waitForExit(), qPrintable(child.output));
        QCOMPARE(child.process.exitCode(), 1);
        QVERIFY2(child.output.contains(QLatin1String("halvex-bridge-tray")), qPrintable(child.output));
        QVERIFY2(child.output.contains(QLatin1String("halvex-bridge --headless")), qPrintable(child.output));
        QVERIFY2(!child.output.contains(kLaunching), qPrintable(child.output));
    }
};

QTEST_MAIN(TstLaunch)
#include "tst_launch.moc"
