#include "platform/logging.h"

#include "build_config.h"

namespace halvex {

// Info and above by default; debug lines on request (--verbose, or
// QT_LOGGING_RULES such as "<app id>.*.debug=true").
Q_LOGGING_CATEGORY(lcApp, HALVEX_APP_ID_STRING ".App", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCredentials, HALVEX_APP_ID_STRING ".Credentials", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAuth, HALVEX_APP_ID_STRING ".Auth", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWebSocket, HALVEX_APP_ID_STRING ".WebSocket", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBridge, HALVEX_APP_ID_STRING ".Bridge", QtInfoMsg)
Q_LOGGING_CATEGORY(lcOpenClaw, HALVEX_APP_ID_STRING ".OpenClaw", QtInfoMsg)
Q_LOGGING_CATEGORY(lcOcWs, HALVEX_APP_ID_STRING ".OC-WS", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDeviceId, HALVEX_APP_ID_STRING ".DeviceID", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDetector, HALVEX_APP_ID_STRING ".Detector", QtInfoMsg)
Q_LOGGING_CATEGORY(lcProviderDetection, HALVEX_APP_ID_STRING ".ProviderDetection", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTray, HALVEX_APP_ID_STRING ".Tray", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMemorySync, HALVEX_APP_ID_STRING ".MemorySync", QtInfoMsg)
Q_LOGGING_CATEGORY(lcQr, HALVEX_APP_ID_STRING ".QR", QtInfoMsg)

void installLogFormat()
{
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} "
                                      "%{if-debug}debug%{endif}%{if-info}info %{endif}%{if-warning}warn %{endif}"
                                      "%{if-critical}error%{endif}%{if-fatal}fatal%{endif} [%{category}] %{message}"));
}

} // namespace halvex
