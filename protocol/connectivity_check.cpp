#include "protocol/connectivity_check.h"

namespace vantorel {

std::string ConnectivityCheckRequest(std::string_view host) {
    std::string request = "GET /generate_204 HTTP/1.1\r\nHost: ";
    request += host;
    request += "\r\nConnection: close\r\n\r\n";
    return request;
}

bool AnswerHas(std::string_view answer, std::string_view marker) {
    return answer.find(marker) != std::string_view::npos;
}

bool IsNoContentAnswer(std::string_view answer) { return answer.size() >= 4 && AnswerHas(answer, " 204"); }

}  // namespace vantorel
