// The server's certificate on Windows: the system's chain engine builds and judges the chain, the
// SSL policy judges it for the host. What the engine of some systems leaves out of the policy in
// ipserial.h (Wine's: key sizes, SHA-1 signatures; its SSL policy takes the CN when there is no
// DNS name) is checked here on the chain the engine built, so that one certificate gets one
// verdict on both systems, in OpenSSL's words.
#include "SchannelVerify.h"

#include "CaFile.h"
#include "HostName.h"
#include "ipserial.h"

#include <ws2tcpip.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace ipserial {

namespace {

Opened Failure(int code, std::string cause) {
    Opened o;
    o.failure = code;
    o.cause = std::move(cause);
    return o;
}

Opened Untrusted(const std::string& why) {
    return Failure(NSIO_TLS_UNTRUSTED, "the server's certificate is not trusted (" + why + ")");
}

bool IsIpv4Text(const std::string& host, uint8_t out[4]) {
    in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    std::memcpy(out, &a, 4);
    return true;
}

PCERT_EXTENSION Extension(PCCERT_CONTEXT cert, const char* oid) {
    return CertFindExtension(oid, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
}

// The decoded form of an extension, freed with LocalFree; null when absent or undecodable
// (*present tells which).
template <class T> T* Decoded(PCCERT_CONTEXT cert, const char* oid, LPCSTR type, bool* present) {
    PCERT_EXTENSION ext = Extension(cert, oid);
    *present = ext != nullptr;
    if (!ext) return nullptr;
    T* out = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &out, &size))
        return nullptr;
    return out;
}

// The ASCII form of a DNS name of a certificate; empty for anything else, which names nothing.
std::string AsciiName(const wchar_t* name) {
    std::string out;
    for (; *name; ++name) {
        if (*name > 0x7F) return {};
        out.push_back(static_cast<char>(*name));
    }
    return out;
}

// Only the subjectAltName counts: a CN that happens to read like the host proves nothing (the SSL
// policy of some systems still looks at the CN when no DNS name is there).
bool NamesHost(PCCERT_CONTEXT cert, const std::string& host) {
    bool present = false;
    auto* names =
        Decoded<CERT_ALT_NAME_INFO>(cert, szOID_SUBJECT_ALT_NAME2, X509_ALTERNATE_NAME, &present);
    if (!names) return false;
    uint8_t ip[4];
    const bool byAddress = IsIpv4Text(host, ip);
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        if (byAddress && e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
            found = e.IPAddress.cbData == 4 && std::memcmp(e.IPAddress.pbData, ip, 4) == 0;
        else if (!byAddress && e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName)
            found = DnsNameMatches(AsciiName(e.pwszDNSName), host);
    }
    LocalFree(names);
    return found;
}

// Whether the extended key usage, when there is one, allows server authentication.
bool ServesServers(PCCERT_CONTEXT cert) {
    bool present = false;
    auto* usage = Decoded<CERT_ENHKEY_USAGE>(cert, szOID_ENHANCED_KEY_USAGE,
                                             X509_ENHANCED_KEY_USAGE, &present);
    if (!present) return true;
    if (!usage) return false;
    bool allowed = false;
    for (DWORD i = 0; i < usage->cUsageIdentifier && !allowed; ++i) {
        const char* oid = usage->rgpszUsageIdentifier[i];
        allowed = std::strcmp(oid, szOID_PKIX_KP_SERVER_AUTH) == 0 ||
                  std::strcmp(oid, "2.5.29.37.0") == 0; // anyExtendedKeyUsage
    }
    LocalFree(usage);
    return allowed;
}

// The key usage bits, or all of them when the certificate has none.
BYTE KeyUsage(PCCERT_CONTEXT cert) {
    BYTE bits = 0;
    if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING, cert->pCertInfo, &bits, 1)) return 0xFF;
    return bits;
}

// OpenSSL's words for what the engine found wrong with the chain's make-up: an issuer that is not
// a CA allowed to sign certificates, an issuer with more CAs below it than its path length
// allows, a certificate not for server authentication. Empty when none of these is found.
std::string ChainMakeUp(const CERT_SIMPLE_CHAIN& chain) {
    for (DWORD i = 0; i < chain.cElement; ++i) {
        PCCERT_CONTEXT cert = chain.rgpElement[i]->pCertContext;
        if (i == 0) {
            const BYTE ku = KeyUsage(cert);
            if (!(ku & (CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE |
                        CERT_KEY_AGREEMENT_KEY_USAGE)))
                return "unsuitable certificate purpose";
            if (!ServesServers(cert)) return "unsuitable certificate purpose";
            continue;
        }
        bool present = false;
        auto* bc = Decoded<CERT_BASIC_CONSTRAINTS2_INFO>(cert, szOID_BASIC_CONSTRAINTS2,
                                                         X509_BASIC_CONSTRAINTS2, &present);
        const bool isCa = bc && bc->fCA;
        const bool limited = bc && bc->fPathLenConstraint;
        const DWORD pathLen = bc ? bc->dwPathLenConstraint : 0;
        if (bc) LocalFree(bc);
        if (!isCa || !(KeyUsage(cert) & CERT_KEY_CERT_SIGN_KEY_USAGE))
            return "invalid CA certificate";
        // The CAs between this one and the server's certificate.
        if (limited && i - 1 > pathLen) return "path length constraint exceeded";
        if (!ServesServers(cert)) return "unsuitable certificate purpose";
    }
    return {};
}

// RSA below 2048 bits and EC below 256 bits, anywhere in the chain; a signature with SHA-1 or
// older on any certificate but the trust anchor (whose own signature proves nothing).
std::string ChainStrength(const CERT_SIMPLE_CHAIN& chain) {
    static const char* const kWeakSignatures[] = {
        szOID_RSA_SHA1RSA,        szOID_RSA_MD5RSA, szOID_RSA_MD2RSA,   szOID_RSA_MD4RSA,
        szOID_OIWSEC_sha1RSASign, szOID_ECDSA_SHA1, szOID_X957_SHA1DSA,
    };
    for (DWORD i = 0; i < chain.cElement; ++i) {
        PCCERT_CONTEXT cert = chain.rgpElement[i]->pCertContext;
        const CERT_PUBLIC_KEY_INFO& key = cert->pCertInfo->SubjectPublicKeyInfo;
        const DWORD bits =
            CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&key));
        const char* alg = key.Algorithm.pszObjId;
        const bool rsa = alg && std::strcmp(alg, szOID_RSA_RSA) == 0;
        const bool ec = alg && std::strcmp(alg, szOID_ECC_PUBLIC_KEY) == 0;
        if ((rsa && bits < 2048) || (ec && bits != 0 && bits < 256))
            return i == 0 ? "EE certificate key too weak" : "CA certificate key too weak";
        if (i + 1 < chain.cElement) {
            const char* sig = cert->pCertInfo->SignatureAlgorithm.pszObjId;
            for (const char* weak : kWeakSignatures)
                if (sig && std::strcmp(sig, weak) == 0)
                    return "CA signature digest algorithm too weak";
        }
    }
    return {};
}

// OpenSSL's words for the engine's verdict on how the chain ends.
std::string TrustWords(DWORD errors, DWORD elements) {
    if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
    if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT)
        return elements == 1 ? "self-signed certificate"
                             : "self-signed certificate in certificate chain";
    if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
    if (errors & CERT_TRUST_IS_REVOKED) return "certificate revoked";
    if (errors & CERT_TRUST_IS_CYCLIC) return "unable to get local issuer certificate";
    return {};
}

Opened Judge(PCCERT_CHAIN_CONTEXT chain, const std::string& host) {
    if (chain->cChain < 1 || chain->rgpChain[0]->cElement < 1)
        return Untrusted("unable to get local issuer certificate");
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    const DWORD errors = chain->TrustStatus.dwErrorStatus;
    // In OpenSSL's order: the chain's end, its make-up, its strength, the name, the dates.
    std::string why = TrustWords(errors, simple.cElement);
    if (!why.empty()) return Untrusted(why);
    // The engine judges the make-up; which fault it found is read from the chain.
    if (errors & (CERT_TRUST_INVALID_BASIC_CONSTRAINTS | CERT_TRUST_IS_NOT_VALID_FOR_USAGE)) {
        why = ChainMakeUp(simple);
        if (why.empty())
            why = errors & CERT_TRUST_INVALID_BASIC_CONSTRAINTS ? "invalid CA certificate"
                                                                : "unsuitable certificate purpose";
        return Untrusted(why);
    }
    // What the engine does not judge (Wine's: key sizes and digests, measured).
    why = ChainStrength(simple);
    if (!why.empty()) return Untrusted(why);
    constexpr DWORD kTime = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
                            CERT_TRUST_CTL_IS_NOT_TIME_VALID;
    if (errors & ~kTime) {
        char text[64];
        std::snprintf(text, sizeof text, "the chain was refused, status 0x%08lX",
                      static_cast<unsigned long>(errors & ~kTime));
        return Untrusted(text);
    }

    // The SSL policy, given the name when it is one (an address it would compare with DNS names).
    uint8_t ip[4];
    std::wstring wide(host.begin(), host.end());
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = IsIpv4Text(host, ip) ? nullptr : wide.data();
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
    para.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status))
        return Untrusted("the SSL policy could not be applied");
    PCCERT_CONTEXT leaf = simple.rgpElement[0]->pCertContext;
    if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) || !NamesHost(leaf, host))
        return Failure(NSIO_TLS_NAME, "the server's certificate is not for " + host);
    if (status.dwError == static_cast<DWORD>(CERT_E_WRONG_USAGE))
        return Untrusted("unsuitable certificate purpose");
    if (status.dwError != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "the SSL policy refused it, 0x%08lX",
                      static_cast<unsigned long>(status.dwError));
        return Untrusted(text);
    }
    if (errors & kTime) {
        for (DWORD i = 0; i < simple.cElement; ++i) {
            const LONG t =
                CertVerifyTimeValidity(nullptr, simple.rgpElement[i]->pCertContext->pCertInfo);
            if (t > 0) return Failure(NSIO_TLS_EXPIRED, "the server's certificate has expired");
            if (t < 0)
                return Failure(NSIO_TLS_EXPIRED, "the server's certificate is not yet valid");
        }
        return Failure(NSIO_TLS_EXPIRED, "the server's certificate has expired");
    }
    return {};
}

} // namespace

HCERTSTORE LoadCaStore(const std::string& path, std::string* cause) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) {
        *cause = "can not read the CA file " + path;
        return nullptr;
    }
    *cause = ReadCaFile(path, [store](const std::vector<uint8_t>& der) {
        return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_USE_EXISTING, nullptr) != FALSE;
    });
    if (!cause->empty()) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

Opened VerifyServer(PCCERT_CONTEXT leaf, const std::string& host, HCERTSTORE anchors) {
    HCERTCHAINENGINE engine = nullptr;
    if (anchors) {
        CERT_CHAIN_ENGINE_CONFIG config{};
        // The structure as Windows 7 has it: later ones add only flags that are not used here,
        // and Wine takes no other size.
        config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) +
                        sizeof config.hExclusiveTrustedPeople;
        config.hExclusiveRoot = anchors;
        if (!CertCreateCertificateChainEngine(&config, &engine))
            return Untrusted("the system's chain engine could not be given the CA file");
    }
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // Nothing fetched from the network: the chain is what the server sent and what we trust.
    const BOOL built =
        CertGetCertificateChain(engine, leaf, nullptr, leaf->hCertStore, &para,
                                CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain);
    Opened o = built ? Judge(chain, host) : Untrusted("unable to get local issuer certificate");
    if (chain) CertFreeCertificateChain(chain);
    if (engine) CertFreeCertificateChainEngine(engine);
    return o;
}

} // namespace ipserial
