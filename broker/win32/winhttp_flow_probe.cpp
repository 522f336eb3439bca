#include "broker/win32/winhttp_flow_probe.h"

#include <windows.h>
#include <winhttp.h>

#include <utility>
#include <vector>

#include "broker/portable/flow_response.h"
#include "common/win32/win_handle.h"

namespace vantorel {
namespace {

using InternetHandle = ScopedResource<HINTERNET, WinHttpCloseHandle>;

constexpr int kTimeoutMs = 1500;

// The secret is ASCII hex; widening byte by byte is the whole conversion.
std::wstring AuthorizationHeader(const std::string& secret) {
    std::wstring header = L"Authorization: Bearer ";
    for (char c : secret) header.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    header += L"\r\n";
    return header;
}

bool ReadStatus(HINTERNET request, DWORD& status) {
    DWORD size = sizeof(status);
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

// Stops at the first failed or empty read, and as soon as the cap is passed.
std::string ReadBody(HINTERNET request) {
    std::string body;
    std::vector<char> chunk;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available) || available == 0) break;
        chunk.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, chunk.data(), available, &read) || read == 0) break;
        body.append(chunk.data(), read);
        if (body.size() > WinHttpFlowProbe::kBodyLimit) break;
    }
    return body;
}

}  // namespace

WinHttpFlowProbe::WinHttpFlowProbe(std::uint16_t port, std::string secret) : port_(port), secret_(std::move(secret)) {}

bool WinHttpFlowProbe::poll(FlowSample& out) {
    last_error_ = 0;
    InternetHandle session(WinHttpOpen(L"VantorelBroker/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        last_error_ = GetLastError();
        return false;
    }
    WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    InternetHandle connection(WinHttpConnect(session.get(), L"127.0.0.1", port_, 0));
    if (!connection) {
        last_error_ = ERROR_INVALID_DATA;
        return false;
    }
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", L"/connections", nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    std::wstring header = AuthorizationHeader(secret_);
    if (!request ||
        !WinHttpSendRequest(request.get(), header.c_str(), static_cast<DWORD>(header.size()), WINHTTP_NO_REQUEST_DATA,
                            0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        last_error_ = ERROR_INVALID_DATA;
        return false;
    }
    DWORD status = 0;
    if (!ReadStatus(request.get(), status)) {
        last_error_ = ERROR_INVALID_DATA;
        return false;
    }
    if (status != 200) {
        last_error_ = status;
        return false;
    }
    FlowSample sample;
    if (!ParseConnectionsResponse(ReadBody(request.get()), sample)) {
        last_error_ = ERROR_INVALID_DATA;
        return false;
    }
    out = std::move(sample);
    return true;
}

}  // namespace vantorel
