#pragma once

#include <QString>
#include <QUrl>

namespace halvex {

class KeychainManager;
class Settings;

// The gateway address and token the bridge uses, and where they come from.
struct GatewaySettings {
    QUrl endpoint;
    QString token; // empty: none
    // The credential store could not answer (gone, locked): `token` is not
    // known, which is not the same as none stored.
    bool tokenUnreadable = false;

    // "http://127.0.0.1:18789"
    static QString defaultEndpoint();

    // The endpoint is the stored "openClawEndpoint" when it is an absolute
    // http(s) URL, else the one OpenClaw's own configuration file describes
    // (read afresh each time and never stored, so a later port change in the
    // file is seen), else the default. The token is the stored gateway
    // token, else the file's (which is then stored). Masked tokens and
    // unresolved "${VAR}" references are never used. A store that cannot
    // answer leaves the token unknown: the file's token is then neither used
    // nor stored over what the store may hold.
    static GatewaySettings load(Settings *settings, KeychainManager *keychain, const QString &homeDirectory);
};

} // namespace halvex
