#include "platform/logging.h"

#include "build_config.h"

namespace halvex {

Q_LOGGING_CATEGORY(lcApp, HALVEX_APP_ID_STRING ".App")
Q_LOGGING_CATEGORY(lcKeychain, HALVEX_APP_ID_STRING ".Keychain")
Q_LOGGING_CATEGORY(lcAuth, HALVEX_APP_ID_STRING ".Auth")
Q_LOGGING_CATEGORY(lcWebSocket, HALVEX_APP_ID_STRING ".WebSocket")
Q_LOGGING_CATEGORY(lcBridge, HALVEX_APP_ID_STRING ".Bridge")
Q_LOGGING_CATEGORY(lcOpenClaw, HALVEX_APP_ID_STRING ".OpenClaw")
Q_LOGGING_CATEGORY(lcOcWs, HALVEX_APP_ID_STRING ".OC-WS")
Q_LOGGING_CATEGORY(lcDeviceId, HALVEX_APP_ID_STRING ".DeviceID")
Q_LOGGING_CATEGORY(lcDetector, HALVEX_APP_ID_STRING ".Detector")
Q_LOGGING_CATEGORY(lcProviderDetection, HALVEX_APP_ID_STRING ".ProviderDetection")
Q_LOGGING_CATEGORY(lcMenuBar, HALVEX_APP_ID_STRING ".MenuBar")
Q_LOGGING_CATEGORY(lcMemorySync, HALVEX_APP_ID_STRING ".MemorySync")
Q_LOGGING_CATEGORY(lcQr, HALVEX_APP_ID_STRING ".QR")

void installLogFormat()
{
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} "
                                      "%{if-debug}debug%{endif}%{if-info}info %{endif}%{if-warning}warn %{endif}"
                                      "%{if-critical}error%{endif}%{if-fatal}fatal%{endif} [%{category}] %{message}"));
}

} // namespace halvex
