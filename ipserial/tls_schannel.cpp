// TLS through the system's own provider (Schannel through SSPI), so that the programs keep
// importing system DLLs only. Schannel is told to leave the server's certificate to us: it is
// checked after the handshake, before any byte of the caller's goes out (SchannelVerify.h).
#include "SchannelFiles.h"
#include "SchannelVerify.h"
#include "Transport.h"

#include "ipserial.h"

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace ipserial {

namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

constexpr const char* kRenegotiationRefused =
    "the server asked to renegotiate TLS, which is refused";

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;

Opened Failure(int code, std::string cause) {
    Opened o;
    o.failure = code;
    o.cause = std::move(cause);
    return o;
}

std::string Hex(SECURITY_STATUS s) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(s));
    return text;
}

bool IsIpv4Text(const std::string& host, uint8_t out[4]) {
    in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    std::memcpy(out, &a, 4);
    return true;
}

// Reads the server's side of a TLS 1.2 handshake as it arrives, for the one thing Schannel does
// not always tell (Wine's never does): whether the server asked for a client certificate. Up to
// the server's ChangeCipherSpec the handshake travels in the clear.
class HandshakeScanner {
public:
    void Add(const uint8_t* data, size_t size) {
        if (done_) return;
        records_.insert(records_.end(), data, data + size);
        for (;;) {
            if (records_.size() < 5) return;
            const size_t length = (size_t(records_[3]) << 8) | records_[4];
            if (records_.size() < 5 + length) return;
            const uint8_t type = records_[0];
            if (type == kChangeCipherSpec) {
                done_ = true;
                return;
            }
            if (type == kHandshake)
                messages_.insert(messages_.end(), records_.begin() + 5,
                                 records_.begin() + 5 + length);
            records_.erase(records_.begin(), records_.begin() + 5 + length);
            while (messages_.size() >= 4) {
                const size_t size =
                    (size_t(messages_[1]) << 16) | (size_t(messages_[2]) << 8) | messages_[3];
                if (messages_.size() < 4 + size) break;
                if (messages_[0] == kCertificateRequest) requested_ = true;
                messages_.erase(messages_.begin(), messages_.begin() + 4 + size);
            }
        }
    }
    bool CertificateRequested() const { return requested_; }

private:
    static constexpr uint8_t kChangeCipherSpec = 20, kHandshake = 22, kCertificateRequest = 13;
    Bytes records_, messages_;
    bool done_ = false, requested_ = false;
};

class SchannelTransport : public Transport {
public:
    explicit SchannelTransport(std::unique_ptr<TcpSocket> socket) : socket_(std::move(socket)) {}
    ~SchannelTransport() override {
        if (haveContext_) DeleteSecurityContext(&context_);
        if (haveCredentials_) FreeCredentialsHandle(&credentials_);
    }

    Opened Handshake(const TlsSettings& tls, SchannelFiles& files, Deadline deadline,
                     intptr_t abort);

    IoResult Send(const uint8_t* data, size_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!FlushLocked()) return {IoStatus::Closed, 0};
        if (!out_.empty()) return {IoStatus::WouldBlock, 0};
        if (size == 0) return {IoStatus::Ok, 0};
        const size_t n = std::min<size_t>(size, sizes_.cbMaximumMessage);
        Bytes record(sizes_.cbHeader + n + sizes_.cbTrailer);
        std::memcpy(record.data() + sizes_.cbHeader, data, n);
        SecBuffer b[4] = {
            {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<ULONG>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) return {IoStatus::Failed, 0};
        record.resize(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
        // The record is made: the caller's bytes are taken, whatever the socket accepts now.
        out_ = std::move(record);
        if (!FlushLocked()) return {IoStatus::Closed, 0};
        return {IoStatus::Ok, n};
    }

    IoResult Receive(uint8_t* data, size_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (plain_.empty() && !ended_) {
            uint8_t buf[16384 + 512];
            IoResult r = socket_->Receive(buf, sizeof buf);
            if (r.status == IoStatus::Ok) {
                in_.insert(in_.end(), buf, buf + r.count);
                if (!DecryptLocked()) return {IoStatus::Failed, 0};
            } else if (r.status != IoStatus::WouldBlock) {
                ended_ = true;
            }
        }
        if (!plain_.empty()) {
            const size_t n = std::min(size, plain_.size());
            std::memcpy(data, plain_.data(), n);
            plain_.erase(plain_.begin(), plain_.begin() + static_cast<ptrdiff_t>(n));
            return {IoStatus::Ok, n};
        }
        return {ended_ ? IoStatus::Closed : IoStatus::WouldBlock, 0};
    }

    int Wait(bool read, bool write, int timeoutMs, Notifier* wake) override {
        bool owed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (read && (!plain_.empty() || ended_)) return kReadable;
            owed = !out_.empty();
        }
        const int ready = socket_->Wait(read, write || owed, timeoutMs, wake);
        if (ready > 0 && owed && (ready & kWritable)) {
            std::lock_guard<std::mutex> lock(mutex_);
            FlushLocked();
        }
        if (ready <= 0) return ready;
        return (ready & kReadable) | ((write && (ready & kWritable)) ? kWritable : 0);
    }

    void ShutdownSend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        FlushLocked();
        // close_notify, so that the server knows the end is ours and not an attack's.
        if (established_ && !closeSent_) {
            closeSent_ = true;
            DWORD shutdown = SCHANNEL_SHUTDOWN;
            SecBuffer token{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
            SecBufferDesc tokenDesc{SECBUFFER_VERSION, 1, &token};
            if (ApplyControlToken(&context_, &tokenDesc) == SEC_E_OK) {
                SecBuffer alert{0, SECBUFFER_TOKEN, nullptr};
                SecBufferDesc alertDesc{SECBUFFER_VERSION, 1, &alert};
                ULONG attributes = 0;
                TimeStamp expiry;
                const SECURITY_STATUS s = InitializeSecurityContextA(
                    &credentials_, &context_, nullptr, kContextFlags, 0, 0, nullptr, 0, &context_,
                    &alertDesc, &attributes, &expiry);
                if (alert.pvBuffer) {
                    if ((s == SEC_E_OK || s == SEC_I_CONTEXT_EXPIRED) && alert.cbBuffer > 0) {
                        const uint8_t* p = static_cast<const uint8_t*>(alert.pvBuffer);
                        out_.insert(out_.end(), p, p + alert.cbBuffer);
                    }
                    FreeContextBuffer(alert.pvBuffer);
                }
                FlushLocked();
            }
        }
        socket_->ShutdownSend();
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        socket_->Close();
    }

    bool IsOpen() const override { return socket_->IsOpen(); }

    int EarlyEnd(std::string* cause) const override {
        if (renegotiationRefused_.load(std::memory_order_acquire)) {
            if (cause) *cause = kRenegotiationRefused;
            return NSIO_TLS_HANDSHAKE;
        }
        if (!certificateRequested_) {
            if (cause) *cause = "the server closed the connection after the TLS handshake";
            return NSIO_CONNECTFAIL;
        }
        // A server that checks client certificates only after the handshake says nothing when
        // it refuses one: it asked for a certificate and left.
        if (cause)
            *cause = sendsCertificate_ ? "the server did not accept the client certificate"
                                       : "the server requires a client certificate";
        return NSIO_TLS_CLIENTCERT;
    }

private:
    // Sends what an earlier record left; false when the connection is gone.
    bool FlushLocked() {
        while (!out_.empty()) {
            IoResult r = socket_->Send(out_.data(), out_.size());
            if (r.status == IoStatus::WouldBlock || (r.status == IoStatus::Ok && r.count == 0))
                return true;
            if (r.status != IoStatus::Ok) return false;
            out_.erase(out_.begin(), out_.begin() + static_cast<ptrdiff_t>(r.count));
        }
        return true;
    }

    // Every whole record of in_ into plain_; an incomplete one stays for the next arrival.
    bool DecryptLocked() {
        while (!in_.empty()) {
            SecBuffer b[4] = {
                {static_cast<ULONG>(in_.size()), SECBUFFER_DATA, in_.data()},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
            const SECURITY_STATUS s = DecryptMessage(&context_, &desc, 0, nullptr);
            if (s == SEC_E_INCOMPLETE_MESSAGE) return true;
            if (s == SEC_I_CONTEXT_EXPIRED) {
                ended_ = true;
                in_.clear();
                return true;
            }
            // A new handshake inside the session would bring a certificate that no one checks
            // (Schannel leaves that to us, and only the first is checked): the link ends instead.
            // The credential allows TLS 1.2 alone; under TLS 1.3 Schannel would say the same of a
            // session ticket, which is no renegotiation.
            if (s == SEC_I_RENEGOTIATE) {
                renegotiationRefused_.store(true, std::memory_order_release);
                return false;
            }
            if (s != SEC_E_OK) return false;
            Bytes extra;
            for (const SecBuffer& x : b) {
                if (x.BufferType == SECBUFFER_DATA && x.cbBuffer > 0) {
                    const uint8_t* p = static_cast<const uint8_t*>(x.pvBuffer);
                    plain_.insert(plain_.end(), p, p + x.cbBuffer);
                } else if (x.BufferType == SECBUFFER_EXTRA && x.cbBuffer > 0) {
                    const uint8_t* p = static_cast<const uint8_t*>(x.pvBuffer);
                    extra.assign(p, p + x.cbBuffer);
                }
            }
            in_ = std::move(extra);
        }
        return true;
    }

    bool SendAll(const uint8_t* data, size_t size, Deadline deadline) {
        while (size > 0) {
            IoResult r = socket_->Send(data, size);
            if (r.status == IoStatus::Ok) {
                data += r.count;
                size -= r.count;
            } else if (r.status != IoStatus::WouldBlock ||
                       socket_->Wait(false, true, RemainingMs(deadline)) <= 0) {
                return false;
            }
        }
        return true;
    }

    Opened Verify(const TlsSettings& tls, HCERTSTORE anchors);

    // Forward secrecy and authenticated encryption only, as on Linux. Schannel is not told which
    // suites to offer (not every Schannel heeds it), so the one it agreed on is looked at before
    // any byte of the caller's goes out.
    bool AcceptedSuite() {
        SecPkgContext_CipherInfo info{};
        info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
        if (QueryContextAttributesW(&context_, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK &&
            info.dwCipherSuite != 0) {
            static const DWORD kAccepted[] = {
                0x1301, 0x1302, 0x1303,         // TLS 1.3
                0xC02B, 0xC02C, 0xC02F, 0xC030, // ECDHE with AES-GCM
                0xCCA8, 0xCCA9,                 // ECDHE with ChaCha20-Poly1305
            };
            return std::find(std::begin(kAccepted), std::end(kAccepted), info.dwCipherSuite) !=
                   std::end(kAccepted);
        }
        // Wine's Schannel names no suite, only its parts: ECDHE, AES, and a hash of no strength
        // of its own, which is how it reports a cipher that authenticates itself (GCM).
        SecPkgContext_ConnectionInfo c{};
        if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &c) != SEC_E_OK)
            return false;
        return c.aiExch == CALG_ECDH_EPHEM &&
               (c.aiCipher == CALG_AES_128 || c.aiCipher == CALG_AES_256) && c.dwHashStrength == 0;
    }

    std::unique_ptr<TcpSocket> socket_;
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool haveCredentials_ = false, haveContext_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::mutex mutex_; // one context: a send and a receive must not run in it at once
    Bytes in_, plain_, out_;
    bool ended_ = false;
    bool established_ = false, closeSent_ = false;
    bool certificateRequested_ = false;
    bool sendsCertificate_ = false;
    std::atomic<bool> renegotiationRefused_{false};
};

Opened SchannelTransport::Verify(const TlsSettings& tls, HCERTSTORE anchors) {
    PCCERT_CONTEXT leaf = nullptr;
    if (QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK ||
        !leaf)
        return Failure(NSIO_TLS_UNTRUSTED, "the server's certificate is not trusted (none sent)");
    Opened o = VerifyServer(leaf, tls.host, anchors);
    CertFreeCertificateContext(leaf);
    return o;
}

Opened SchannelTransport::Handshake(const TlsSettings& tls, SchannelFiles& files, Deadline deadline,
                                    intptr_t abort) {
    PCCERT_CONTEXT clientCert = files.sendsCertificate ? files.identity.Certificate() : nullptr;
    sendsCertificate_ = files.sendsCertificate;
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    if (clientCert) {
        cred.cCreds = 1;
        cred.paCred = &clientCert;
    }
    TimeStamp expiry;
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &credentials_,
                                  &expiry) != SEC_E_OK)
        return Failure(NSIO_TLS_UNSUPPORTED, "the system's TLS (Schannel) could not be started");
    haveCredentials_ = true;

    uint8_t ip[4];
    std::string sni = IsIpv4Text(tls.host, ip) ? std::string() : tls.host;
    char* target = sni.empty() ? nullptr : sni.data();
    bool serverSpoke = false;
    HandshakeScanner scanner;
    Bytes in;
    for (;;) {
        SecBuffer inBuf[2] = {{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuf};
        SecBuffer outBuf[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, outBuf};
        ULONG attributes = 0;
        const SECURITY_STATUS s = InitializeSecurityContextA(
            &credentials_, haveContext_ ? &context_ : nullptr, target, kContextFlags, 0, 0,
            haveContext_ ? &inDesc : nullptr, 0, &context_, &outDesc, &attributes, &expiry);
        haveContext_ = true;
        if (outBuf[0].cbBuffer > 0 && outBuf[0].pvBuffer) {
            const bool sent = SendAll(static_cast<const uint8_t*>(outBuf[0].pvBuffer),
                                      outBuf[0].cbBuffer, deadline);
            FreeContextBuffer(outBuf[0].pvBuffer);
            if (!sent) return Failure(NSIO_CONNECTFAIL, "the server closed the connection");
        }
        if (s == SEC_I_INCOMPLETE_CREDENTIALS) {
            // Asked for a client certificate that we do not have: go on without one.
            certificateRequested_ = true;
            continue;
        }
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) {
            if (inBuf[1].BufferType == SECBUFFER_EXTRA && inBuf[1].cbBuffer > 0)
                in.erase(in.begin(), in.end() - inBuf[1].cbBuffer);
            else
                in.clear();
            if (s == SEC_E_OK) break;
            if (!in.empty()) continue;
        } else if (s != SEC_E_INCOMPLETE_MESSAGE) {
            if (!serverSpoke) return Failure(NSIO_TLS_NOTTLS, "the server did not answer TLS");
            if (s == SEC_E_ILLEGAL_MESSAGE || s == SEC_E_INVALID_TOKEN)
                return Failure(NSIO_TLS_NOTTLS, "the server did not answer TLS (" + Hex(s) + ")");
            // The server's certificate is looked at only after the handshake, and the suites
            // were agreed before the server asked for a certificate: an alert after that ask is
            // about ours (Schannel does not say which alert came).
            if (certificateRequested_)
                return Failure(NSIO_TLS_CLIENTCERT,
                               sendsCertificate_
                                   ? "the server did not accept the client certificate"
                                   : "the server requires a client certificate");
            return Failure(NSIO_TLS_HANDSHAKE, "the TLS handshake failed (" + Hex(s) + ")");
        }
        // More of the server's handshake.
        const int left = RemainingMs(deadline);
        const int ready = left > 0 ? socket_->WaitOrAbort(true, false, left, abort) : 0;
        if (ready == kAborted) return AbortedOpen();
        if (ready <= 0) {
            if (!serverSpoke)
                return Failure(NSIO_TLS_NOTTLS, "the server did not answer TLS in time");
            return Failure(NSIO_TIMEOUT, "the TLS handshake did not finish in time");
        }
        uint8_t buf[16384];
        IoResult r = socket_->Receive(buf, sizeof buf);
        if (r.status == IoStatus::Ok) {
            in.insert(in.end(), buf, buf + r.count);
            serverSpoke = true;
            scanner.Add(buf, r.count);
            certificateRequested_ = certificateRequested_ || scanner.CertificateRequested();
        } else if (r.status != IoStatus::WouldBlock) {
            if (!serverSpoke)
                return Failure(NSIO_TLS_NOTTLS,
                               "the server did not answer TLS (it closed the connection)");
            if (certificateRequested_)
                return Failure(NSIO_TLS_CLIENTCERT,
                               sendsCertificate_
                                   ? "the server did not accept the client certificate"
                                   : "the server requires a client certificate");
            return Failure(NSIO_TLS_HANDSHAKE,
                           "the TLS handshake failed (the server closed the connection)");
        }
    }
    if (QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
        return Failure(NSIO_TLS_HANDSHAKE, "the TLS handshake failed (no stream sizes)");
    if (!AcceptedSuite())
        return Failure(NSIO_TLS_HANDSHAKE,
                       "the TLS handshake failed: the server offers no TLS 1.3, "
                       "nor TLS 1.2 with ECDHE and AES-GCM or "
                       "ChaCha20-Poly1305");
    Opened checked = Verify(tls, files.anchors);
    if (checked.failure != 0) return checked;
    established_ = true;
    // Records that came right behind the handshake belong to the stream.
    in_ = std::move(in);
    if (!DecryptLocked()) return Failure(NSIO_TLS_HANDSHAKE, "the TLS stream could not be read");
    return {};
}

} // namespace

Opened StartTls(std::unique_ptr<TcpSocket> socket, const TlsSettings& tls, TlsFiles& files,
                Deadline deadline, intptr_t abort) {
    auto link = std::make_unique<SchannelTransport>(std::move(socket));
    Opened done = link->Handshake(tls, static_cast<SchannelFiles&>(files), deadline, abort);
    if (done.failure != 0) return done;
    done.transport = std::move(link);
    return done;
}

} // namespace ipserial
