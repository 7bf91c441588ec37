// The detector against a scripted `openclaw` and a loopback gateway
// stand-in: where the tool is found, the order of the published fields,
// configuration file versus tool, agents in every shape, the health rule,
// each run's own local-network window, and enableLANAccess telling the truth.
#include "discovery/openclaw_detector.h"
#include "fake_openclaw_tool.h"
#include "http_stand_in.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <deque>

#include <sys/stat.h>
#include <unistd.h>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 60000;

// File or folder (below a scratch folder) -> mode.
using Modes = QHash<QString, int>;

QStringList args(const char *line)
{
    return QString::fromLatin1(line).split(QLatin1Char(' '));
}

// A login shell that answers with `searchPath` and counts how often it ran.
struct LoginShell {
    QString searchPath;
    int runs = 0;

    static QCoro::Task<ProcessOutcome> answer(LoginShell *shell, ProcessRequest)
    {
        ++shell->runs;
        ProcessOutcome outcome;
        outcome.status = ProcessOutcome::Status::finished;
        outcome.exitCode = 0;
        outcome.standardOutput = "Welcome back\nHALVEX_LOGIN_PATH=" + shell->searchPath.toUtf8() + "\n";
        co_return outcome;
    }
    std::shared_ptr<LoginEnvironment> environment()
    {
        return std::make_shared<LoginEnvironment>(
            [this](ProcessRequest request) { return answer(this, std::move(request)); });
    }
};

// One detector with its scratch home, tool and gateway stand-in.
struct Rig {
    QTemporaryDir home;
    FakeOpenClawTool tool;
    HttpStandIn gateway;
    std::optional<QString> lanAddress;
    bool socketConnected = false;
    std::unique_ptr<OpenClawDetector> detector;

    explicit Rig(OpenClawLocator::Places places = {})
    {
        gateway.listen();
        if (places.beforeShell.isEmpty() && places.afterShell.isEmpty())
            places.beforeShell = {tool.path()};
        OpenClawDetector::Dependencies deps;
        deps.homeDirectory = home.path();
        deps.environment = [](const QString &) { return std::optional<QString>(); };
        deps.localIPAddress = [this] { return lanAddress; };
        deps.places = places;
        deps.avahiBusAddress =
            qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"); // no Avahi there: the browse fails at once
        deps.gatewaySocketConnected = [this] { return socketConnected; };
        OpenClawDetectorTimings timings;
        timings.discoveryWindow = std::chrono::seconds(1);
        timings.lanCheckWindow = std::chrono::milliseconds(500);
        timings.lanCheckInterval = std::chrono::milliseconds(100);
        // Generous limits: a loaded machine must not turn a slow answer
        // into a missing one.
        timings.commands.timeout = std::chrono::seconds(30);
        timings.probeTimeout = std::chrono::seconds(30);
        detector = std::make_unique<OpenClawDetector>(deps, timings);
    }

    void writeConfig(const QByteArray &text)
    {
        QDir().mkpath(home.filePath(QStringLiteral(".openclaw")));
        QFile file(openClawConfigPath(home.path()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    // A configuration whose gateway is the stand-in.
    void writeGatewayConfig(const QByteArray &rest = {}, const QByteArray &token = "tok-abcd")
    {
        writeConfig("{gateway: {port: " + QByteArray::number(gateway.port()) + ", auth: {token: '" + token + "'}}, " +
                    rest + "}");
    }
    // `chat` 200 stands for "chat endpoint on", which the endpoint says by
    // refusing an empty chat (400).
    void serveHealth(int chat, int healthz = 200)
    {
        gateway.setDefaultResponse("/v1/chat/completions",
                                   ScriptedResponse::json(chat == 200 ? 400 : chat, QByteArray("{}")));
        gateway.setDefaultResponse("/healthz", ScriptedResponse::json(healthz, QByteArray("{}")));
    }

    bool detect()
    {
        bool done = false;
        detector->detect().then([&] { done = true; });
        return QTest::qWaitFor([&] { return done; }, kWait);
    }
    std::optional<bool> enableLAN()
    {
        std::optional<bool> result;
        detector->enableLANAccess().then([&](bool ok) { result = ok; });
        (void)QTest::qWaitFor([&] { return result.has_value(); }, kWait);
        return result;
    }
};

} // namespace

class TestOpenClawDetector : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void withoutAToolOnlyTheSearchRuns()
    {
        QTemporaryDir empty;
        LoginShell shell{empty.path() + QStringLiteral(":/nonexistent")};
        Rig rig(OpenClawLocator::Places{{QStringLiteral("/nonexistent/openclaw")}, shell.environment(), {}});
        QSignalSpy detecting(rig.detector.get(), &OpenClawDetector::isDetectingChanged);
        QVERIFY(rig.detect());
        QCOMPARE(detecting.size(), 2);
        QVERIFY(!rig.detector->detected());
        QVERIFY(rig.detector->binaryPath().isEmpty());
        QCOMPARE(rig.detector->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        QCOMPARE(shell.runs, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.detector->isBrowsing(), kWait);
    }

    void findsTheFirstToolThatRuns()
    {
        FakeOpenClawTool broken(QStringLiteral("broken"));
        broken.setAnswer(args("--version"), "", 1, "Error: node:sqlite is unavailable\n");
        FakeOpenClawTool first(QStringLiteral("first"));
        FakeOpenClawTool later(QStringLiteral("later"));
        // Relative folders on the login PATH are never searched.
        LoginShell shell{QStringLiteral(".:bin::") + later.folder()};
        {
            Rig rig(OpenClawLocator::Places{{broken.path(), first.path()}, shell.environment(), {later.path()}});
            QVERIFY(rig.detect());
            QCOMPARE(rig.detector->binaryPath(), first.path());
            QVERIFY(rig.detector->binaryProblem().isEmpty());
            QCOMPARE(shell.runs, 0);
        }
        {
            // Found on the login shell's PATH before the Homebrew places;
            // the shell runs once however often the search asks.
            const std::shared_ptr<LoginEnvironment> login = shell.environment();
            Rig rig(OpenClawLocator::Places{{broken.path()}, login, {first.path()}});
            QVERIFY(rig.detect());
            QCOMPARE(rig.detector->binaryPath(), later.path());
            QVERIFY(rig.detect());
            QCOMPARE(rig.detector->binaryPath(), later.path());
            QCOMPARE(shell.runs, 1);
        }
        {
            // Only a tool that cannot run: not reported as an installation.
            Rig rig(OpenClawLocator::Places{{broken.path()}, {}, {}});
            QVERIFY(rig.detect());
            QVERIFY(!rig.detector->detected());
            QVERIFY(rig.detector->binaryProblem().contains(broken.path()));
            QVERIFY(rig.detector->binaryProblem().contains(QLatin1String("node:sqlite is unavailable")));
        }
    }

    void standardPlacesAreSearchedInOrder_data()
    {
        // The index of the tool that wins once those before it are gone.
        QTest::addColumn<int>("winner");
        QTest::newRow("PATH (its relative entry is ignored)") << 0;
        QTest::newRow("~/.local/bin") << 1;
        QTest::newRow("nvm: the newest version wins") << 2;
        QTest::newRow("nvm: then the next newest") << 3;
        QTest::newRow("nvm: then the oldest") << 4;
        QTest::newRow("Volta") << 5;
        QTest::newRow("fnm") << 6;
        QTest::newRow("pnpm") << 7;
        QTest::newRow("bun") << 8;
        QTest::newRow("the login shell's PATH") << 9;
        QTest::newRow("Homebrew") << 10;
    }

    void standardPlacesAreSearchedInOrder()
    {
        QFETCH(int, winner);
        QTemporaryDir scratch;
        const QString root = scratch.path() + QLatin1Char('/');
        const QString home = root + QStringLiteral("home");
        // In search order. v24.9.0 sorts after v24.22.3 as text, before it
        // as a version.
        const QStringList folders{
            root + QStringLiteral("path"),
            home + QStringLiteral("/.local/bin"),
            home + QStringLiteral("/.nvm/versions/node/v24.22.3/bin"),
            home + QStringLiteral("/.nvm/versions/node/v24.9.0/bin"),
            home + QStringLiteral("/.nvm/versions/node/v20.1.0/bin"),
            home + QStringLiteral("/.volta/bin"),
            root + QStringLiteral("fnm/node-versions/v22.3.0/installation/bin"),
            root + QStringLiteral("pnpm"),
            home + QStringLiteral("/.bun/bin"),
            root + QStringLiteral("login"),
            home + QStringLiteral("/.linuxbrew/bin"),
        };
        std::deque<FakeOpenClawTool> tools;
        for (const QString &folder : folders) {
            tools.emplace_back(folder);
            QVERIFY(tools.back().isValid());
            tools.back().setAnswer(args("--version"), "OpenClaw 2026." + QByteArray::number(tools.size()) + ".0\n");
        }
        // Found only if a relative PATH entry were taken from the current folder.
        FakeOpenClawTool relative(root + QStringLiteral("relative"));
        const QString current = QDir::currentPath();
        QDir::setCurrent(scratch.path());
        const auto restore = qScopeGuard([&] { QDir::setCurrent(current); });
        for (int i = 0; i < winner; ++i)
            QVERIFY(QFile::remove(tools.at(size_t(i)).path()));

        const QHash<QString, QString> variables{
            {QStringLiteral("PATH"), QStringLiteral("relative::") + folders.at(0)},
            {QStringLiteral("FNM_DIR"), root + QStringLiteral("fnm")},
            {QStringLiteral("PNPM_HOME"), root + QStringLiteral("pnpm")},
        };
        LoginShell shell{folders.at(9)};
        OpenClawLocator::Places places =
            OpenClawLocator::standardPlaces(home, [&](const QString &name) -> std::optional<QString> {
                return variables.contains(name) ? std::optional<QString>(variables.value(name)) : std::nullopt;
            });
        // This machine's own folders (/usr/bin, /opt/homebrew/bin, ...) are left out.
        const auto elsewhere = [&](const QString &path) { return !path.startsWith(root); };
        places.beforeShell.removeIf(elsewhere);
        places.afterShell.removeIf(elsewhere);
        places.loginEnvironment = shell.environment();

        OpenClawLocator locator(std::make_shared<CommandRunner>(), places);
        const LocatedOpenClaw located = QCoro::waitFor(locator.find());
        const FakeOpenClawTool &tool = tools.at(size_t(winner));
        QCOMPARE(located.path, std::optional<QString>(tool.path()));
        QCOMPARE(located.version, QStringLiteral("OpenClaw 2026.%1.0").arg(winner + 1));
        // The version comes from the one check that chose it.
        QCOMPARE(tool.calls(), QStringList{QStringLiteral("--version")});
    }

    void toolsOthersCouldChangeAreNeverRun_data()
    {
        // Under a private scratch folder in /tmp: where the planted tool
        // lives, the folder of a link to it (the candidate then), the modes
        // set, what is handed to uid or gid 65534, and the path at fault.
        QTest::addColumn<QString>("toolFolder");
        QTest::addColumn<QString>("linkFolder");
        QTest::addColumn<Modes>("modes");
        QTest::addColumn<QString>("otherOwner");
        QTest::addColumn<QString>("otherGroup");
        QTest::addColumn<QString>("culprit");
        const auto row = [](const char *name, const char *toolFolder, const char *linkFolder, const Modes &modes,
                            const char *otherOwner, const char *otherGroup, const char *culprit) {
            QTest::newRow(name) << toolFolder << linkFolder << modes << otherOwner << otherGroup << culprit;
        };
        const auto mode = [](const char *path, int bits) { return Modes{{QString::fromLatin1(path), bits}}; };
        row("a folder of another user", "other/bin", "", {}, "other", "", "other");
        row("a folder others can write", "open/bin", "", mode("open", 0777), "", "", "open");
        row("a folder another group can write", "shared/bin", "", mode("shared", 0775), "", "shared", "shared");
        row("a file others can write", "bin", "", mode("bin/openclaw", 0757), "", "", "bin/openclaw");
        row("a tool straight in a sticky folder", "sticky", "", mode("sticky", 01777), "", "", "sticky");
        row("an npm link into a folder others can write", "npm/lib/node_modules/openclaw", "npm/bin",
            mode("npm/lib", 0777), "", "", "npm/lib");
        row("a link in a folder others can write", "real", "drop", mode("drop", 0777), "", "", "drop");
    }

    // A tool is run only when nobody but root or this user could have
    // planted or changed it; one that fails is listed and the search goes on.
    void toolsOthersCouldChangeAreNeverRun()
    {
        QFETCH(QString, toolFolder);
        QFETCH(QString, linkFolder);
        QFETCH(Modes, modes);
        QFETCH(QString, otherOwner);
        QFETCH(QString, otherGroup);
        QFETCH(QString, culprit);
        if ((!otherOwner.isEmpty() || !otherGroup.isEmpty()) && geteuid() != 0)
            QSKIP("handing a folder to another user needs root");
        QTemporaryDir scratch; // 0700 in the sticky /tmp: a trusted place
        const QString root = scratch.path() + QLatin1Char('/');
        // npm's layout: bin/openclaw -> ../lib/node_modules/openclaw/openclaw.
        const auto linkTo = [&](const FakeOpenClawTool &tool, const QString &folder) {
            QVERIFY(QDir().mkpath(folder));
            const QString target = QDir(folder).relativeFilePath(tool.path());
            QVERIFY(QFile::link(target, folder + QStringLiteral("/openclaw")));
            // The fake keeps its answers beside the name it was run by.
            QVERIFY(QFile::link(tool.folder() + QStringLiteral("/.fake"), folder + QStringLiteral("/.fake")));
        };

        FakeOpenClawTool planted(root + toolFolder);
        QVERIFY(planted.isValid());
        QString candidate = planted.path();
        if (!linkFolder.isEmpty()) {
            linkTo(planted, root + linkFolder);
            candidate = root + linkFolder + QStringLiteral("/openclaw");
        }
        for (auto it = modes.cbegin(); it != modes.cend(); ++it)
            QCOMPARE(::chmod(QFile::encodeName(root + it.key()).constData(), mode_t(it.value())), 0);
        if (!otherOwner.isEmpty())
            QCOMPARE(::chown(QFile::encodeName(root + otherOwner).constData(), 65534, gid_t(-1)), 0);
        if (!otherGroup.isEmpty())
            QCOMPARE(::chown(QFile::encodeName(root + otherGroup).constData(), uid_t(-1), 65534), 0);

        FakeOpenClawTool trusted(root + QStringLiteral("home/lib/node_modules/openclaw"));
        QVERIFY(trusted.isValid());
        linkTo(trusted, root + QStringLiteral("home/bin"));
        const QString chosen = root + QStringLiteral("home/bin/openclaw");

        OpenClawLocator locator(std::make_shared<CommandRunner>(), OpenClawLocator::Places{{candidate}, {}, {chosen}});
        const LocatedOpenClaw located = QCoro::waitFor(locator.find());
        QCOMPARE(located.path, std::optional<QString>(chosen));
        QCOMPARE(trusted.calls(), QStringList{QStringLiteral("--version")});
        QVERIFY(planted.calls().isEmpty());
        QCOMPARE(located.skipped.size(), 1);
        QCOMPARE(located.skipped.at(0).path, candidate);
        QCOMPARE(located.skipped.at(0).culprit, root + culprit);
        QVERIFY(!located.skipped.at(0).reason.isEmpty());

        // Alone, it is still not run, and the problem says why none was.
        OpenClawLocator alone(std::make_shared<CommandRunner>(), OpenClawLocator::Places{{candidate}, {}, {}});
        const LocatedOpenClaw none = QCoro::waitFor(alone.find());
        QVERIFY(!none.path);
        QVERIFY(planted.calls().isEmpty());
        QVERIFY2(none.problem.contains(located.skipped.at(0).reason), qPrintable(none.problem));
    }

    void publishesInTheDocumentedOrder()
    {
        Rig rig;
        rig.lanAddress = QStringLiteral("127.0.0.1");
        rig.writeConfig("{gateway: {port: " + QByteArray::number(rig.gateway.port()) +
                        ", bind: 'lan', auth: {token: 'tok-abcd'}}, agents: {list: [{id: 'main'}, {id: 'mobile'}]}}");
        rig.serveHealth(200);
        QStringList order;
        OpenClawDetector *d = rig.detector.get();
        const auto record = [&](auto signal, const char *name) {
            QObject::connect(d, signal, d, [&order, name] { order.append(QLatin1String(name)); });
        };
        record(&OpenClawDetector::isDetectingChanged, "isDetecting");
        record(&OpenClawDetector::binaryPathChanged, "binaryPath");
        record(&OpenClawDetector::detectedChanged, "detected");
        record(&OpenClawDetector::gatewayTokenChanged, "gatewayToken");
        record(&OpenClawDetector::gatewayBindChanged, "gatewayBind");
        record(&OpenClawDetector::gatewayPortChanged, "gatewayPort");
        record(&OpenClawDetector::endpointURLChanged, "endpointURL");
        record(&OpenClawDetector::agentsChanged, "agents");
        record(&OpenClawDetector::gatewayRunningChanged, "gatewayRunning");
        QVERIFY(rig.detect());
        QCOMPARE(order.join(QLatin1Char(' ')),
                 QStringLiteral("isDetecting binaryPath detected gatewayToken gatewayBind "
                                "gatewayPort endpointURL agents gatewayRunning isDetecting"));
        QCOMPARE(d->gatewayToken(), QStringLiteral("tok-abcd"));
        QCOMPARE(d->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:%1").arg(rig.gateway.port())));
        QVERIFY(d->gatewayRunning());
        QVERIFY(d->chatEndpointEnabled());
        QVERIFY(d->hasMobileAgent());
        QVERIFY(d->tokenHint().isEmpty());
        // The file was the source: the tool was asked only whether it runs.
        QCOMPARE(rig.tool.calls(), QStringList{QStringLiteral("--version")});
        // The probe carried the token.
        QCOMPARE(rig.gateway.requestsTo("/v1/chat/completions").constLast().header("Authorization"),
                 QByteArray("Bearer tok-abcd"));
    }

    void theFileIsTheSourceWhileItIsReadable()
    {
        Rig rig;
        rig.lanAddress = QStringLiteral("127.0.0.2");
        rig.writeConfig("{gateway: {port: 19000, bind: 'lan', auth: {token: 'first'}}}");
        QVERIFY(rig.detect());
        // A gateway bound to the LAN listens on loopback too; the LAN address
        // may belong to another host after a network change.
        QCOMPARE(rig.detector->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:19000")));
        QVERIFY(!rig.detector->gatewayRunning());

        // A port written as a string is ignored (and the tool is not asked);
        // an empty token keeps the earlier one; no lan address: loopback.
        rig.lanAddress.reset();
        rig.writeConfig("{gateway: {port: '19001', bind: 'lan', auth: {token: ''}}}");
        QVERIFY(rig.detect());
        QCOMPARE(rig.detector->gatewayPort(), 19000);
        QCOMPARE(rig.detector->gatewayToken(), QStringLiteral("first"));
        // The endpoint is the one the bridge uses: the file's (default) port.
        QCOMPARE(rig.detector->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        QCOMPARE(rig.detector->tokenHint(), OpenClawDetector::noTokenSentence());
        QVERIFY(!rig.tool.calls().join(QLatin1Char('\n')).contains(QLatin1String("config get")));

        // A JSON5 file with an environment reference that is not set.
        rig.writeConfig("{gateway: {auth: {token: '${NOT_SET_ANYWHERE}',},},}");
        QVERIFY(rig.detect());
        QCOMPARE(rig.detector->gatewayToken(), QStringLiteral("first"));
        QCOMPARE(rig.detector->tokenHint(), OpenClawDetector::noTokenSentence());
    }

    void withoutAFileTheToolIsAsked()
    {
        Rig rig;
        rig.tool.setAnswer(args("config get gateway.auth.token"), "__OPENCLAW_REDACTED__\n");
        rig.tool.setAnswer(args("config get gateway.bind"), "loopback\n");
        rig.tool.setAnswer(args("config get gateway.port"), QByteArray::number(rig.gateway.port()) + "\n");
        rig.serveHealth(404, 200);
        QVERIFY(rig.detect());
        QCOMPARE(rig.detector->gatewayBind(), QStringLiteral("loopback"));
        QCOMPARE(rig.detector->gatewayPort(), int(rig.gateway.port()));
        QVERIFY(rig.detector->gatewayToken().isEmpty());
        QCOMPARE(rig.detector->tokenHint(), OpenClawDetector::noTokenSentence());
        // Running with the HTTP chat endpoint off.
        QVERIFY(rig.detector->gatewayRunning());
        QVERIFY(!rig.detector->chatEndpointEnabled());
        // The token is never asked of the tool: it only prints the mask.
        QVERIFY(!rig.tool.calls().contains(QStringLiteral("config get gateway.auth.token")));

        // Failing answers and bad numbers change nothing.
        rig.tool.setAnswer(args("config get gateway.bind"), "Config invalid: multi-agent rosters require ...\n", 1);
        for (const QByteArray port : {"99999999999", "12ab", "0", "70000"}) {
            rig.tool.setAnswer(args("config get gateway.port"), port);
            QVERIFY(rig.detect());
            QCOMPARE(rig.detector->gatewayPort(), int(rig.gateway.port()));
            QCOMPARE(rig.detector->gatewayBind(), QStringLiteral("loopback"));
        }
    }

    void readsAgentsInEveryShape()
    {
        Rig rig;
        const auto agentsAfter = [&](const QByteArray &config) {
            rig.writeConfig(config);
            if (!rig.detect())
                qFatal("detection did not finish");
            return rig.detector->agents();
        };
        const QStringList both{QStringLiteral("main"), QStringLiteral("mobile")};
        QCOMPARE(agentsAfter("{agents: {list: [{id: 'main', default: true}, {id: 'mobile'}]}}"), both);
        QCOMPARE(agentsAfter("{agents: {entries: {main: {}, mobile: {model: 'a/b'}}}}"), both);
        QVERIFY(rig.detector->hasMobileAgent());

        // Not in the file: the tool's JSON listing.
        rig.tool.setAnswer(args("agents list --json"),
                           R"([{"id": "main", "isDefault": true, "model": "a/b"}, {"id": "helper"}])");
        QCOMPARE(agentsAfter("{}"), (QStringList{QStringLiteral("main"), QStringLiteral("helper")}));
        QVERIFY(!rig.detector->hasMobileAgent());

        // No JSON: the plain listing with its decorations removed.
        rig.tool.setAnswer(args("agents list --json"), "error: unknown option '--json'\n", 1);
        rig.tool.setAnswer(args("agents list"), "Agents:\n- main (default)\n  Workspace: ~/.openclaw/workspace\n"
                                                "- mobile (Mobile)\n  Model: mock/fake\n");
        QCOMPARE(agentsAfter("{}"), both);
        // An older tool: one name per line.
        rig.tool.setAnswer(args("agents list"), "main\n \t mobile  \n\n\n");
        QCOMPARE(agentsAfter("{}"), both);
        // Nothing at all: the earlier list stays.
        rig.tool.setAnswer(args("agents list"), "\n");
        QCOMPARE(agentsAfter("{}"), both);
    }

    void aHangingToolDoesNotFreezeDetection()
    {
        Rig rig;
        rig.detector.reset();
        OpenClawDetector::Dependencies deps;
        deps.homeDirectory = rig.home.path();
        deps.places = OpenClawLocator::Places{{rig.tool.path()}, {}, {}};
        deps.avahiBusAddress = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        OpenClawDetectorTimings timings;
        // Long enough for the answers that do come on a loaded machine; the
        // one that never comes is stopped and the plain listing is asked.
        timings.commands.timeout = std::chrono::seconds(15);
        timings.probeTimeout = std::chrono::seconds(30);
        rig.detector = std::make_unique<OpenClawDetector>(deps, timings);
        rig.tool.setDelay(args("agents list --json"), 120);
        rig.tool.setAnswer(args("agents list"), "main\nmobile\n");
        QVERIFY(rig.detect());
        QVERIFY(rig.detector->detected());
        QCOMPARE(rig.detector->agents(), (QStringList{QStringLiteral("main"), QStringLiteral("mobile")}));
    }

    void aDetectorMayGoAwayMidRun()
    {
        // The window closes while the first candidate is still being asked;
        // the search goes on to the next one on its own, touching nothing
        // of the detector (the sanitizers check this), and then ends.
        FakeOpenClawTool slow(QStringLiteral("slow"));
        slow.setAnswer(args("--version"), "", 1);
        slow.setDelay(args("--version"), 2);
        FakeOpenClawTool next(QStringLiteral("next"));
        Rig rig(OpenClawLocator::Places{{slow.path(), next.path()}, {}, {}});
        bool finished = false;
        rig.detector->detect().then([&] { finished = true; });
        QTest::qWait(300);
        rig.detector.reset();
        QTRY_COMPARE_WITH_TIMEOUT(next.calls(), QStringList{QStringLiteral("--version")}, kWait);
        // The caller is still resumed, once.
        QTRY_VERIFY_WITH_TIMEOUT(finished, kWait);
    }

    void theSocketCountsAsRunning()
    {
        Rig rig;
        rig.writeGatewayConfig();
        rig.gateway.close();
        QVERIFY(rig.detect());
        QVERIFY(!rig.detector->gatewayRunning());
        rig.socketConnected = true;
        QVERIFY(rig.detect());
        QVERIFY(rig.detector->gatewayRunning());
    }

    void withoutAvahiTheBrowseEndsAtOnce()
    {
        Rig rig;
        QSignalSpy finished(rig.detector.get(), &OpenClawDetector::networkDiscoveryFinished);
        rig.detector->startNetworkDiscovery();
        // The bus may have refused before the call returns: the signal can
        // come from inside startNetworkDiscovery(), before any wait.
        QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), kWait);
        QCOMPARE(finished.size(), 1);
        QVERIFY(!rig.detector->isBrowsing());
        QVERIFY(rig.detector->discoveredGateways().isEmpty());
    }

    void enableLANAccessReportsTheTruth()
    {
        Rig rig;
        rig.writeGatewayConfig();
        rig.serveHealth(404, 200);
        // No tool found yet: nothing is run.
        QCOMPARE(rig.enableLAN(), std::optional<bool>(false));
        QVERIFY(rig.tool.calls().isEmpty());
        QVERIFY(rig.detect());

        // OpenClaw's writer refuses: false with its reason, and no restart.
        rig.tool.setAnswer(args("config patch --stdin"), "", 1, "Config validation failed: gateway.bind: no\n");
        QCOMPARE(rig.enableLAN(), std::optional<bool>(false));
        QVERIFY(!rig.tool.calls().contains(QStringLiteral("gateway restart")));
        QVERIFY2(rig.detector->lanAccessProblem().contains(QLatin1String("Config validation failed: gateway.bind: no")),
                 qPrintable(rig.detector->lanAccessProblem()));
        // The change travelled on standard input, as the smallest patch.
        QCOMPARE(
            QJsonDocument::fromJson(rig.tool.lastStandardInput()).object(),
            QJsonObject({{QStringLiteral("gateway"), QJsonObject{{QStringLiteral("bind"), QStringLiteral("lan")}}}}));

        // Accepted and restarted, but the gateway still answers only on
        // loopback: false, with a sentence saying what to do.
        rig.tool.setAnswer(args("config patch --stdin"), "Applied 1 config update(s). Restart the gateway to apply.\n");
        rig.tool.setAnswer(args("gateway restart"), "Restarted\n");
        rig.lanAddress = QStringLiteral("127.0.0.2"); // nothing listens there
        QCOMPARE(rig.enableLAN(), std::optional<bool>(false));
        QVERIFY(rig.tool.calls().contains(QStringLiteral("gateway restart")));
        QCOMPARE(rig.detector->gatewayBind(), QStringLiteral("lan"));
        QVERIFY(rig.detector->lanAccessProblem().contains(QLatin1String("restart the gateway process")));

        // Answering on the LAN address: true.
        rig.lanAddress = QStringLiteral("127.0.0.1");
        QCOMPARE(rig.enableLAN(), std::optional<bool>(true));
        QVERIFY(rig.detector->lanAccessProblem().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestOpenClawDetector)
#include "tst_openclaw_detector.moc"
