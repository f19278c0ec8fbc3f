#pragma once
#include <string>

namespace zem {

// One HTTP request and its answer, for the station's link to its line: libcurl on Linux, WinHTTP
// (a part of the system) on Windows.
struct HttpRequest {
    std::string method = "GET"; // GET or POST
    std::string url;            // http:// or https://
    std::string bearer;         // sent as "Authorization: Bearer ..." when not empty
    std::string body;           // POST: JSON
    unsigned timeoutMs = 15000; // the whole exchange; a connection that hangs ends here
    // https://: trust these CAs (PEM) instead of the system's; a client certificate and its key.
    std::string caFile, certFile, keyFile;
};

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// False when no answer came (no connection, a timeout, TLS refused), with `error` in words; an
// answer of any status is true.
bool HttpExchange(const HttpRequest& request, HttpAnswer& answer, std::string& error);

} // namespace zem
