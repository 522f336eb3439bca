#include "tests/wine/fwp_shim/fwp_rules.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <string>

#include "tests/wine/route_shim/agent_link.h"

namespace vantorel::fwp_shim {

namespace {

const char* LayerName(Layer layer) {
    switch (layer) {
        case Layer::connect_v4:
            return "connect_v4";
        case Layer::connect_v6:
            return "connect_v6";
        case Layer::recv_accept_v4:
            return "recv_accept_v4";
        case Layer::recv_accept_v6:
            return "recv_accept_v6";
    }
    return "?";
}

std::string Address(const Condition& condition, bool v6) {
    char text[INET6_ADDRSTRLEN] = {};
    if (v6) {
        inet_ntop(AF_INET6, condition.v6, text, sizeof text);
    } else {
        in_addr address{};
        address.s_addr = htonl(condition.v4);
        inet_ntop(AF_INET, &address, text, sizeof text);
    }
    return std::string(text) + "/" + std::to_string(condition.prefix);
}

std::string Range(const Condition& condition) {
    std::string out = std::to_string(condition.number);
    if (condition.number_high != condition.number) out += "-" + std::to_string(condition.number_high);
    return out;
}

// The file lives in the suites' own folder; outside them nothing is written.
constexpr const wchar_t kStateFile[] = L"C:\\vantorel-test\\fwp-filters.txt";

// The interface a filter names, as the route agent numbers links (the test iphlpapi.dll gives
// Wine's LUID of the agent's index); 0 when unknown.
std::uint32_t InterfaceIndex(const FilterRecord& filter) {
    for (const Condition& condition : filter.conditions) {
        if (condition.field != Field::local_interface) continue;
        NET_LUID luid;
        luid.Value = condition.number;
        NET_IFINDEX index = 0;
        return ConvertInterfaceLuidToIndex(&luid, &index) == NO_ERROR ? index : 0;
    }
    return 0;
}

// The filters as nftables rules in the test namespace (tests/wine/route_agent/kernel_filters.py).
// One connection for the process's life: the agent removes the rules when it closes, as a dynamic
// session's filters go with the process that opened it.
void SendToAgent(const std::vector<FilterRecord>& filters) {
    static route_shim::AgentLink* link = nullptr;
    if (link == nullptr) {
        auto* made = new route_shim::AgentLink();
        if (!made->connected()) {
            delete made;
            return;
        }
        link = made;
    }
    route_shim::AgentReply reply;
    for (const FilterRecord& filter : filters) {
        std::string line = DescribeFilters({filter});
        line.pop_back();  // its newline
        if (const std::uint32_t index = InterfaceIndex(filter)) line += " if_index=" + std::to_string(index);
        link->request("firewall_filter " + line, reply);
    }
    link->request("firewall_apply count=" + std::to_string(filters.size()), reply);
}

}  // namespace

std::string DescribeFilters(const std::vector<FilterRecord>& filters) {
    std::string out;
    for (const FilterRecord& filter : filters) {
        const bool v6 = filter.layer == Layer::connect_v6 || filter.layer == Layer::recv_accept_v6;
        out += "id=" + std::to_string(filter.id) + " layer=" + LayerName(filter.layer) +
               " action=" + (filter.permit ? "permit" : "block") + " weight=" + std::to_string(filter.weight);
        for (const Condition& condition : filter.conditions) {
            switch (condition.field) {
                case Field::local_interface:
                    out += " local_interface=" + std::to_string(condition.number);
                    break;
                case Field::remote_address:
                    out += " remote_address=" + Address(condition, v6);
                    break;
                case Field::remote_port:
                    out += " remote_port=" + Range(condition);
                    break;
                case Field::local_port:
                    out += " local_port=" + Range(condition);
                    break;
                case Field::protocol:
                    out += " protocol=" + std::to_string(condition.number);
                    break;
                case Field::app_id:
                    out += " app_id=" + std::to_string(condition.text.size());
                    break;
                case Field::flags:
                    out += " flags_all_set=" + std::to_string(condition.number);
                    break;
                case Field::none:
                    break;
            }
        }
        out += "\n";
    }
    return out;
}

void ApplyFilters(const std::vector<FilterRecord>& filters) {
    if (GetFileAttributesW(L"C:\\vantorel-test") == INVALID_FILE_ATTRIBUTES) return;
    SendToAgent(filters);
    const std::string text = DescribeFilters(filters);
    HANDLE file = CreateFileW(kStateFile, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace vantorel::fwp_shim
