#pragma once
// Windows only: the trust half of the TLS link, apart from the transport that carries it.
#include "Transport.h"

#include <winsock2.h>

#include <wincrypt.h>

#include <string>

namespace ipserial {

// The CA file's certificates in a memory store, or null with `cause` set (the file is refused
// whole; see CaFile.h).
HCERTSTORE LoadCaStore(const std::string& path, std::string* cause);

// The server's certificate `leaf` (with what the server sent beside it in its store) checked as
// ipserial.h says: a chain built by the system's chain engine to `anchors` alone (null: the
// Windows store) for server authentication, the SSL policy with `host`, and what the engine may
// leave out. An empty Opened when it holds; else the failure with its cause, worded as on Linux.
Opened VerifyServer(PCCERT_CONTEXT leaf, const std::string& host, HCERTSTORE anchors);

} // namespace ipserial
