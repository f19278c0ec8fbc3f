#include "HttpClient.h"

#include "win32.h"

#include <winhttp.h>

#include <memory>
#include <vector>

namespace zem {

namespace {

std::wstring Wide(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Why(const char* step) {
    DWORD code = GetLastError();
    const char* text = nullptr;
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
        text = "timed out";
        break;
    case ERROR_WINHTTP_CANNOT_CONNECT:
        text = "could not connect";
        break;
    case ERROR_WINHTTP_CONNECTION_ERROR:
        text = "the connection was reset";
        break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        text = "the host name is not known";
        break;
    case ERROR_WINHTTP_SECURE_FAILURE:
        text = "the server's certificate is not trusted";
        break;
    default:
        break;
    }
    return std::string(step) + ": " +
           (text ? text : "WinHTTP error " + std::to_string(static_cast<unsigned long>(code)));
}

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

} // namespace

bool HttpExchange(const HttpRequest& q, HttpAnswer& a, std::string& error) {
    a.status = 0;
    a.body.clear();
    std::wstring url = Wide(q.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        error = "not an http:// or https:// address: " + q.url;
        return false;
    }
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (secure && (!q.caFile.empty() || !q.certFile.empty())) {
        // WinHTTP trusts the system's certificate store and takes client certificates from it.
        error = "on Windows the line's certificates come from the system's certificate store";
        return false;
    }

    Handle session, connection, request;
    session.h = WinHttpOpen(L"zem", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session.h) {
        error = Why("WinHttpOpen");
        return false;
    }
    int t = static_cast<int>(q.timeoutMs);
    WinHttpSetTimeouts(session.h, t, t, t, t);
    connection.h = WinHttpConnect(session.h, host.c_str(), parts.nPort, 0);
    if (!connection.h) {
        error = Why("connect");
        return false;
    }
    std::wstring method = Wide(q.method);
    request.h =
        WinHttpOpenRequest(connection.h, method.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request.h) {
        error = Why("request");
        return false;
    }
    std::wstring headers;
    if (!q.bearer.empty()) headers += L"Authorization: Bearer " + Wide(q.bearer) + L"\r\n";
    if (q.method == "POST") headers += L"Content-Type: application/json\r\n";
    DWORD size = static_cast<DWORD>(q.body.size());
    if (!WinHttpSendRequest(
            request.h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
            static_cast<DWORD>(headers.size()),
            size ? const_cast<char*>(q.body.data()) : WINHTTP_NO_REQUEST_DATA, size, size, 0)) {
        error = Why("send");
        return false;
    }
    if (!WinHttpReceiveResponse(request.h, nullptr)) {
        error = Why("answer");
        return false;
    }
    DWORD status = 0, len = sizeof status;
    if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &len,
                             WINHTTP_NO_HEADER_INDEX)) {
        error = Why("answer");
        return false;
    }
    for (;;) {
        DWORD avail = 0;
        if (!WinHttpQueryDataAvailable(request.h, &avail)) {
            error = Why("answer");
            return false;
        }
        if (avail == 0) break;
        std::vector<char> buf(avail);
        DWORD got = 0;
        if (!WinHttpReadData(request.h, buf.data(), avail, &got)) {
            error = Why("answer");
            return false;
        }
        a.body.append(buf.data(), got);
    }
    a.status = static_cast<int>(status);
    return true;
}

} // namespace zem
