// TLS on Windows belongs to the system's own provider (Schannel through SSPI), so that the
// programs keep importing system DLLs only. Until that is written, a TLS open says so plainly.
#include "Transport.h"

#include "ipserial.h"

namespace ipserial {

Opened StartTls(std::unique_ptr<TcpSocket> socket, const TlsSettings&, Deadline,
                std::chrono::milliseconds) {
    socket->Close();
    Opened o;
    o.failure = NSIO_TLS_UNSUPPORTED;
    o.cause = "TLS is not supported by this build of the network library";
    return o;
}

} // namespace ipserial
