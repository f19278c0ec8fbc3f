#pragma once
// Windows only: what a TLS link's files give, read and checked before any connection is made.
#include "Transport.h"

#include <winsock2.h>

#include <wincrypt.h>

#include <string>

namespace ipserial {

// The client certificate with its key, the key held in memory by a CryptoAPI provider that only
// this process knows, for as long as the port needs it.
class ClientIdentity {
public:
    ClientIdentity() = default;
    ClientIdentity(const ClientIdentity&) = delete;
    ClientIdentity& operator=(const ClientIdentity&) = delete;
    ~ClientIdentity() { Release(); }

    // Empty on success, else the cause.
    std::string Load(const TlsSettings& tls);
    PCCERT_CONTEXT Certificate() const { return cert_; }
    void Release();

private:
    PCCERT_CONTEXT cert_ = nullptr;
    HCRYPTPROV provider_ = 0; // until the certificate holds it
};

class SchannelFiles : public TlsFiles {
public:
    ~SchannelFiles() override {
        if (anchors) CertCloseStore(anchors, 0);
    }
    HCERTSTORE anchors = nullptr; // the CA file's certificates; null: the system's store
    ClientIdentity identity;
    bool sendsCertificate = false;
};

} // namespace ipserial
