// TLS through OpenSSL (the distribution's libssl).
#include "CaFile.h"
#include "Transport.h"

#include "ipserial.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <vector>

namespace ipserial {

namespace {

using std::chrono::milliseconds;

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

// OpenSSL's own socket layer writes with plain write(), and a server that has gone would raise
// SIGPIPE in the host process. Ours goes through TcpSocket, which never does.
struct BioTarget {
    TcpSocket* socket = nullptr;
    bool eof = false;
};

int BioWrite(BIO* bio, const char* data, size_t size, size_t* written) {
    auto* t = static_cast<BioTarget*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    IoResult r = t->socket->Send(reinterpret_cast<const uint8_t*>(data), size);
    if (r.status == IoStatus::Ok) {
        *written = r.count;
        return 1;
    }
    if (r.status == IoStatus::WouldBlock) BIO_set_retry_write(bio);
    return 0;
}

int BioRead(BIO* bio, char* data, size_t size, size_t* got) {
    auto* t = static_cast<BioTarget*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    IoResult r = t->socket->Receive(reinterpret_cast<uint8_t*>(data), size);
    if (r.status == IoStatus::Ok) {
        *got = r.count;
        return 1;
    }
    if (r.status == IoStatus::WouldBlock)
        BIO_set_retry_read(bio);
    else
        t->eof = true;
    return 0;
}

long BioCtrl(BIO* bio, int cmd, long, void*) {
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return static_cast<BioTarget*>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
        return 0;
    }
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ipserial");
        if (m) {
            BIO_meth_set_write_ex(m, BioWrite);
            BIO_meth_set_read_ex(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

bool IsIpv4Text(const std::string& host) {
    in_addr a;
    return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

// OpenSSL's reason for the last failure, for the cause line; empty when it gave none.
std::string SslReason() {
    unsigned long e = ERR_peek_last_error();
    const char* reason = e ? ERR_reason_error_string(e) : nullptr;
    ERR_clear_error();
    return reason ? reason : "";
}

const char kNoCommonCipher[] =
    "the TLS handshake failed: the server offers no TLS 1.3, nor TLS 1.2 with ECDHE and AES-GCM "
    "or ChaCha20-Poly1305";

std::string WithReason(std::string text, const std::string& reason) {
    return reason.empty() ? text : text + " (" + reason + ")";
}

class TlsTransport : public Transport {
public:
    TlsTransport(std::unique_ptr<TcpSocket> socket, bool sendsCertificate)
        : socket_(std::move(socket)), sendsCertificate_(sendsCertificate) {
        target_.socket = socket_.get();
    }

    Opened Handshake(SSL_CTX* ctx, const TlsSettings& tls, Deadline deadline, intptr_t abort);

    IoResult Send(const uint8_t* data, size_t size) override {
        if (size == 0) return {IoStatus::Ok, 0};
        std::lock_guard<std::mutex> lock(mutex_);
        writeWantsRead_ = false;
        ERR_clear_error();
        size_t n = 0;
        const int r = SSL_write_ex(ssl_.get(), data, size, &n);
        if (r == 1) return {IoStatus::Ok, n};
        const int e = SSL_get_error(ssl_.get(), r);
        if (e == SSL_ERROR_WANT_READ) writeWantsRead_ = true;
        return {Status(e), 0};
    }

    IoResult Receive(uint8_t* data, size_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        readWantsWrite_ = false;
        ERR_clear_error();
        size_t n = 0;
        const int r = SSL_read_ex(ssl_.get(), data, size, &n);
        if (r == 1) {
            heard_ = true;
            return {IoStatus::Ok, n};
        }
        const int e = SSL_get_error(ssl_.get(), r);
        if (e == SSL_ERROR_WANT_WRITE) readWantsWrite_ = true;
        return {Status(e), 0};
    }

    int Wait(bool read, bool write, int timeoutMs, Notifier* wake) override {
        bool readNeedsWrite, writeNeedsRead;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Decrypted bytes left over from the last record: the socket will not tell of them.
            if (read && SSL_pending(ssl_.get()) > 0) return kReadable;
            readNeedsWrite = read && readWantsWrite_;
            writeNeedsRead = write && writeWantsRead_;
        }
        const int ready =
            socket_->Wait(read || writeNeedsRead, write || readNeedsWrite, timeoutMs, wake);
        if (ready <= 0) return ready;
        int out = 0;
        if (ready & kReadable) out |= (read ? kReadable : 0) | (writeNeedsRead ? kWritable : 0);
        if (ready & kWritable) out |= (write ? kWritable : 0) | (readNeedsWrite ? kReadable : 0);
        return out;
    }

    void ShutdownSend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        // close_notify, so that the server knows the end is ours and not an attack's.
        if (ssl_) SSL_shutdown(ssl_.get());
        ERR_clear_error();
        socket_->ShutdownSend();
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        socket_->Close();
    }

    bool IsOpen() const override { return socket_->IsOpen(); }

    int EarlyEnd(std::string* cause) const override {
        if (!certificateRequested_.load(std::memory_order_acquire)) {
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
    static IoStatus Status(int sslError) {
        switch (sslError) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return IoStatus::WouldBlock;
        case SSL_ERROR_ZERO_RETURN:
        case SSL_ERROR_SYSCALL:
            return IoStatus::Closed;
        default:
            if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
                return IoStatus::Closed;
            return IoStatus::Failed;
        }
    }

    static void OnMessage(int writing, int, int contentType, const void* buf, size_t len, SSL*,
                          void* arg) {
        auto* self = static_cast<TlsTransport*>(arg);
        if (writing) return;
        if (contentType == SSL3_RT_HEADER) self->serverSpoke_ = true;
        if (contentType == SSL3_RT_HANDSHAKE && len > 0 &&
            static_cast<const uint8_t*>(buf)[0] == SSL3_MT_SERVER_HELLO)
            self->serverHello_ = true;
        if (contentType == SSL3_RT_HANDSHAKE && len > 0 &&
            static_cast<const uint8_t*>(buf)[0] == SSL3_MT_CERTIFICATE_REQUEST)
            self->certificateRequested_.store(true, std::memory_order_release);
    }

    Opened Failure(int code, std::string cause) {
        Opened o;
        o.failure = code;
        o.cause = std::move(cause);
        return o;
    }
    Opened HandshakeFailure(const TlsSettings& tls);

    std::unique_ptr<TcpSocket> socket_;
    BioTarget target_;
    std::unique_ptr<SSL, SslFree> ssl_;
    std::mutex mutex_; // one SSL object: a send and a receive must not run in it at once
    bool readWantsWrite_ = false;
    bool writeWantsRead_ = false;
    bool heard_ = false;
    bool serverSpoke_ = false; // a record header came from the server during the handshake
    bool serverHello_ = false; // the server chose a version and a cipher suite
    std::atomic<bool> certificateRequested_{false};
    const bool sendsCertificate_;
};

Opened TlsTransport::HandshakeFailure(const TlsSettings& tls) {
    const long verify = SSL_get_verify_result(ssl_.get());
    const unsigned long err = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(err);
    const std::string text = SslReason();
    switch (verify) {
    case X509_V_OK:
        break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return Failure(NSIO_TLS_EXPIRED, "the server's certificate has expired");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return Failure(NSIO_TLS_EXPIRED, "the server's certificate is not yet valid");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return Failure(NSIO_TLS_NAME, "the server's certificate is not for " + tls.host);
    default:
        return Failure(NSIO_TLS_UNTRUSTED, WithReason("the server's certificate is not trusted",
                                                      X509_verify_cert_error_string(verify)));
    }
    if (!serverSpoke_)
        return Failure(NSIO_TLS_NOTTLS, "the server did not answer TLS (it closed the connection)");
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
        reason == SSL_R_UNEXPECTED_RECORD || reason == SSL_R_UNKNOWN_PROTOCOL)
        return Failure(NSIO_TLS_NOTTLS, WithReason("the server did not answer TLS", text));
    if (certificateRequested_.load(std::memory_order_acquire) &&
        (reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED ||
         reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ||
         reason == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE || reason == SSL_R_TLSV1_ALERT_UNKNOWN_CA ||
         reason == SSL_R_UNEXPECTED_EOF_WHILE_READING || ERR_GET_LIB(err) == 0))
        return Failure(NSIO_TLS_CLIENTCERT, sendsCertificate_
                                                ? "the server did not accept the client certificate"
                                                : "the server requires a client certificate");
    // A refusal before the server chose anything: nothing of what we offer suits it.
    if (!serverHello_ &&
        (reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ||
         reason == SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY ||
         reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_NO_SHARED_CIPHER))
        return Failure(NSIO_TLS_HANDSHAKE, WithReason(kNoCommonCipher, text));
    if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING || err == 0)
        return Failure(NSIO_TLS_HANDSHAKE,
                       "the TLS handshake failed (the server closed the connection)");
    return Failure(NSIO_TLS_HANDSHAKE, WithReason("the TLS handshake failed", text));
}

Opened TlsTransport::Handshake(SSL_CTX* ctx, const TlsSettings& tls, Deadline deadline,
                               intptr_t abort) {
    BIO_METHOD* method = SocketBioMethod();
    ssl_.reset(SSL_new(ctx));
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!ssl_ || !bio) {
        BIO_free(bio);
        return Failure(NSIO_NOMEM, "TLS could not be set up");
    }
    BIO_set_data(bio, &target_);
    SSL_set_bio(ssl_.get(), bio, bio);
    SSL_set_msg_callback(ssl_.get(), OnMessage);
    SSL_set_msg_callback_arg(ssl_.get(), this);

    // Only the subjectAltName counts: a CN that happens to read like the host proves nothing.
    SSL_set_hostflags(ssl_.get(),
                      X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool named;
    if (IsIpv4Text(tls.host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), tls.host.c_str()) == 1;
    } else {
        named = SSL_set1_host(ssl_.get(), tls.host.c_str()) == 1 &&
                SSL_set_tlsext_host_name(ssl_.get(), tls.host.c_str()) == 1;
    }
    if (!named) return Failure(NSIO_BADPARM, "not a host name: " + tls.host);

    for (;;) {
        ERR_clear_error();
        const int r = SSL_connect(ssl_.get());
        if (r == 1) break;
        const int e = SSL_get_error(ssl_.get(), r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return HandshakeFailure(tls);
        const int left = RemainingMs(deadline);
        const int ready = left > 0 ? socket_->WaitOrAbort(e == SSL_ERROR_WANT_READ,
                                                          e == SSL_ERROR_WANT_WRITE, left, abort)
                                   : 0;
        if (ready == kAborted) return AbortedOpen();
        if (ready < 0) return Failure(NSIO_CONNECTFAIL, "the connection failed");
        if (ready == 0 && RemainingMs(deadline) == 0) {
            if (!serverSpoke_)
                return Failure(NSIO_TLS_NOTTLS, "the server did not answer TLS in time");
            return Failure(NSIO_TIMEOUT, "the TLS handshake did not finish in time");
        }
    }
    Opened o;
    o.transport = nullptr;
    return o;
}

} // namespace

namespace {

constexpr char kCipherSuites[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";

class OpenSslFiles : public TlsFiles {
public:
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    bool sendsCertificate = false;
};

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// OpenSSL asks for a key's passphrase on the terminal unless told otherwise: a program that may
// run unattended must never sit at a prompt, so every ask is answered with nothing and noted.
int NoPassphrase(char*, int, int, void* asked) {
    if (asked) *static_cast<bool*>(asked) = true;
    return -1;
}

Opened FilesFailure(std::string cause) {
    Opened f;
    f.failure = NSIO_TLS_FILES;
    f.cause = WithReason(std::move(cause), SslReason());
    return f;
}

} // namespace

std::unique_ptr<TlsFiles> LoadTlsFiles(const TlsSettings& tls, Opened* failure) {
    auto files = std::make_unique<OpenSslFiles>();
    files->ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ctx = files->ctx.get();
    if (!ctx) {
        failure->failure = NSIO_NOMEM;
        failure->cause = "TLS could not be set up";
        return nullptr;
    }
    SSL_CTX_set_default_passwd_cb(ctx, NoPassphrase);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Forward secrecy and authenticated encryption only. Under TLS 1.2: ECDHE with AES-GCM or
    // ChaCha20-Poly1305 (no RSA key exchange, no CBC, no SHA-1 MAC); TLS 1.3's suites are all so.
    if (SSL_CTX_set_cipher_list(ctx, kCipherSuites) != 1) {
        failure->failure = NSIO_TLS_UNSUPPORTED;
        failure->cause = "this system's OpenSSL offers none of the accepted TLS cipher suites";
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    auto fail = [failure](std::string cause) -> std::unique_ptr<TlsFiles> {
        *failure = FilesFailure(std::move(cause));
        return nullptr;
    };
    if (tls.caFile.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1)
            return fail("the system's trusted certificates could not be read");
    } else {
        X509_STORE* store = SSL_CTX_get_cert_store(ctx);
        const std::string refused =
            ReadCaFile(tls.caFile, [store](const std::vector<uint8_t>& der) {
                const unsigned char* at = der.data();
                X509* cert = d2i_X509(nullptr, &at, static_cast<long>(der.size()));
                const bool whole = cert && at == der.data() + der.size();
                const bool added = whole && X509_STORE_add_cert(store, cert) == 1;
                X509_free(cert);
                return added;
            });
        if (!refused.empty()) {
            ERR_clear_error();
            failure->failure = NSIO_TLS_FILES;
            failure->cause = refused;
            return nullptr;
        }
    }
    files->sendsCertificate = !tls.certFile.empty();
    if (files->sendsCertificate != !tls.keyFile.empty())
        return fail("a client certificate needs its key file, and a key its certificate");
    if (files->sendsCertificate) {
        if (SSL_CTX_use_certificate_chain_file(ctx, tls.certFile.c_str()) != 1)
            return fail("can not read the client certificate " + tls.certFile);
        std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(tls.keyFile.c_str(), "r"),
                                                     BIO_free);
        if (!in) return fail("can not read the client key " + tls.keyFile);
        bool asked = false;
        std::unique_ptr<EVP_PKEY, PkeyFree> key(
            PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassphrase, &asked));
        if (asked) {
            ERR_clear_error();
            return fail("the client key " + tls.keyFile +
                        " is protected by a passphrase; give a key without one");
        }
        if (!key || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1)
            return fail("can not read the client key " + tls.keyFile);
        if (SSL_CTX_check_private_key(ctx) != 1)
            return fail("the client key " + tls.keyFile + " is not the certificate's");
    }
    return files;
}

Opened StartTls(std::unique_ptr<TcpSocket> socket, const TlsSettings& tls, TlsFiles& files,
                Deadline deadline, intptr_t abort) {
    auto& loaded = static_cast<OpenSslFiles&>(files);
    auto link = std::make_unique<TlsTransport>(std::move(socket), loaded.sendsCertificate);
    Opened done = link->Handshake(loaded.ctx.get(), tls, deadline, abort);
    if (done.failure != 0) return done;
    done.transport = std::move(link);
    return done;
}

} // namespace ipserial
