#include "account/bridge_requests.h"
#include "account/user_session.h"
#include "cli/cli.h"
#include "platform/characters.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/file_secret_backend.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace halvex::cli {

namespace {

QString storeTitle(const QString &name)
{
    if (name == QLatin1String(CredentialStore::secretServiceStore))
        return QStringLiteral("Secret Service");
    if (name == QLatin1String(CredentialStore::fileStore))
        return QStringLiteral("private file ") + FileSecretBackend::defaultPath();
    return name;
}

FileSecretBackend *fileStoreOf(CredentialStore &credentials)
{
    for (SecretBackend *store : {credentials.primary(), credentials.older()}) {
        if (store && store->name() == QLatin1String(CredentialStore::fileStore))
            return static_cast<FileSecretBackend *>(store);
    }
    return nullptr;
}

int show(CredentialStore &credentials, bool json)
{
    const QList<CredentialStore::ItemPlace> places = credentials.itemPlaces();
    FileSecretBackend *file = fileStoreOf(credentials);
    const QStringList setAside =
        file ? credentials.withStores<QStringList>([file] { return file->setAsideCopies(); }) : QStringList();
    if (json) {
        QJsonArray items;
        for (const auto &place : places) {
            QJsonObject item{{QStringLiteral("item"), place.label}, {credentials.primary()->name(), place.primary}};
            if (credentials.older())
                item.insert(credentials.older()->name(), place.older);
            item.insert(QStringLiteral("differs"), place.differs);
            items.append(item);
        }
        out() << QJsonDocument(QJsonObject{{QStringLiteral("store"), credentials.primary()->name()},
                                           {QStringLiteral("items"), items},
                                           {QStringLiteral("setAside"), QJsonArray::fromStringList(setAside)}})
                     .toJson(QJsonDocument::Compact)
              << "\n";
    } else {
        out() << "Credentials are kept in: " << storeTitle(credentials.primary()->name()) << "\n";
        for (const auto &place : places) {
            out() << "  " << place.label << ": " << place.primary;
            if (credentials.older() && place.older != QLatin1String("none"))
                out() << "; older copy in the " << credentials.older()->name() << " store: " << place.older
                      << (place.differs ? " (a different value)" : "");
            out() << "\n";
        }
        for (const QString &copy : setAside)
            out() << "Set aside after damage: " << copy << " (recover with: halvex-bridge credentials recover)\n";
    }
    const bool readable = std::all_of(places.begin(), places.end(), [](const auto &place) {
        return place.primary == QLatin1String("stored") || place.primary == QLatin1String("none");
    });
    return readable && setAside.isEmpty() ? success : failure;
}

int recover(CredentialStore &credentials)
{
    FileSecretBackend *file = fileStoreOf(credentials);
    const Result<FileSecretBackend::Recovery> recovery =
        file ? credentials.withStores<Result<FileSecretBackend::Recovery>>([file] { return file->recoverSetAside(); })
             : Result<FileSecretBackend::Recovery>(FileSecretBackend::Recovery{});
    if (!recovery) {
        err() << "halvex-bridge credentials: " << quotedForLog(recovery.error().description(), 1000) << "\n";
        return failure;
    }
    if (recovery->copies.isEmpty()) {
        out() << "Nothing was set aside: there is nothing to recover.\n";
        return success;
    }
    for (const SecretItemKey &key : recovery->restored)
        out() << "Recovered " << key.service
              << (key.account.isEmpty() ? QString() : QStringLiteral(" (") + key.account + QLatin1Char(')')) << "\n";
    for (const SecretItemKey &key : recovery->kept)
        out() << "Kept the newer " << key.service << " already stored\n";
    const int left = int(recovery->copies.size() - recovery->removedCopies.size());
    out() << "Recovered " << recovery->restored.size() << " item(s); " << recovery->removedCopies.size()
          << " set-aside copy(ies) removed" << (left ? QStringLiteral(", %1 kept").arg(left) : QString()) << ".\n"
          << "Anything the damage destroyed is gone: sign in or pair again where a check still fails "
             "(halvex-bridge doctor).\n";
    SingleInstance instance;
    announceCredentialsChanged(instance);
    return left ? failure : success;
}

int use(UserSession &session, const QString &target)
{
    CredentialStore &credentials = *session.credentials();
    std::unique_ptr<SecretBackend> store;
    if (target == QLatin1String(CredentialStore::fileStore))
        store = std::make_unique<FileSecretBackend>();
    else
        store = CredentialStore::secretServiceStoreBackend();
    if (credentials.primary()->name() != store->name()) {
        if (const Result<Done> moved = credentials.moveItemsInto(std::move(store)); !moved) {
            err() << "halvex-bridge credentials: " << quotedForLog(moved.error().description(), 1000) << "\n";
            return failure;
        }
    }
    session.settings()->setString(SettingsKey::credentialStore, target);
    out() << "Credentials are kept in: " << storeTitle(target) << " (for the desktop and the service alike)\n";
    // A running bridge follows at once.
    SingleInstance instance;
    announceCredentialsChanged(instance);
    return success;
}

} // namespace

int runCredentialsCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows where this user's credentials are kept (the Secret Service or a private file) and "
                       "which item is where. `use secret-service` or `use file` moves every item to that store "
                       "and remembers the choice for the desktop and the systemd service alike. `recover` puts "
                       "back what a damaged file store set aside."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the places as JSON."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("action"), QStringLiteral("use STORE, or recover; none shows."),
                                 QStringLiteral("[use secret-service|file | recover]"));
    if (const std::optional<int> status = parseCommandArguments(parser, QStringLiteral("credentials"), arguments))
        return *status;
    const QStringList positional = parser.positionalArguments();
    const bool validUse = positional.size() == 2 && positional.constFirst() == QLatin1String("use") &&
                          (positional.at(1) == QLatin1String(CredentialStore::fileStore) ||
                           positional.at(1) == QLatin1String(CredentialStore::secretServiceStore));
    const bool validRecover = positional == QStringList{QStringLiteral("recover")};
    if (!positional.isEmpty() && !validUse && !validRecover) {
        err() << "halvex-bridge credentials: expected `use secret-service`, `use file` or `recover`, got '"
              << positional.join(QLatin1Char(' ')) << "'\n";
        return misuse;
    }
    if (validUse)
        return use(session, positional.at(1));
    if (validRecover)
        return recover(*session.credentials());
    return show(*session.credentials(), parser.isSet(json));
}

} // namespace halvex::cli
