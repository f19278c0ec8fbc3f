#include "HttpClient.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace zem {

namespace {

size_t Collect(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

} // namespace

bool HttpExchange(const HttpRequest& q, HttpAnswer& a, std::string& error) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        error = "can not start an HTTP request (libcurl)";
        return false;
    }
    CURL* c = curl.get();
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    auto header = [&](const std::string& h) {
        headers.reset(curl_slist_append(headers.release(), h.c_str()));
    };
    if (!q.bearer.empty()) header("Authorization: Bearer " + q.bearer);
    a.body.clear();
    a.status = 0;
    char why[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, q.url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(q.timeoutMs));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(q.timeoutMs));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, why);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.body);
    if (q.method == "POST") {
        header("Content-Type: application/json");
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, q.body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(q.body.size()));
    }
    if (!q.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, q.caFile.c_str());
    if (!q.certFile.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, q.certFile.c_str());
    if (!q.keyFile.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, q.keyFile.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        error = why[0] ? why : curl_easy_strerror(rc);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    a.status = static_cast<int>(status);
    return true;
}

} // namespace zem
