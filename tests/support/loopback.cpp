#include "loopback.h"

#include <QHostAddress>
#include <QTcpServer>

namespace halvex::test {

quint16 closedLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace halvex::test
