#include "tests/wine/route_shim/agent_view.h"

#include <windows.h>

#include <algorithm>

#include "common/win32/win_handle.h"

namespace vantorel::route_shim {
namespace {

std::uint64_t FileTimeNumber(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

LinkState LinkFromRecord(const AgentRecord& record) {
    LinkState link;
    link.index = static_cast<std::uint32_t>(record.number("index"));
    link.name = record.text("name");
    link.kind = record.text("kind");
    link.up = record.number("up") != 0;
    link.mtu = static_cast<std::uint32_t>(record.number("mtu"));
    link.ipv6 = record.number("ipv6") != 0;
    link.metric = static_cast<std::uint32_t>(record.number("metric"));
    return link;
}

}  // namespace

const LinkState* AgentView::find(std::uint32_t index) const {
    for (const LinkState& link : links) {
        if (link.index == index) return &link;
    }
    return nullptr;
}

bool HolderRunning(std::uint32_t pid, std::uint64_t created) {
    WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process) return false;
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) return false;
    if (FileTimeNumber(creation) != created) return false;  // the id was given to another process
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

bool ReadAgentView(AgentLink& link, AgentView& view) {
    view = AgentView{};
    AgentReply reply;
    if (!link.request("state", reply) || reply.code != 0) return false;
    std::vector<std::uint32_t> released;
    for (const AgentRecord& record : reply.records) {
        if (record.kind != "held") continue;
        const auto pid = static_cast<std::uint32_t>(record.number("pid"));
        if (HolderRunning(pid, record.number("created"))) continue;
        AgentReply answer;
        if (!link.request("release name=" + record.text("name") + " pid=" + std::to_string(pid), answer)) return false;
        released.push_back(static_cast<std::uint32_t>(record.number("index")));
    }
    for (const AgentRecord& record : reply.records) {
        if (record.kind != "link") continue;
        LinkState state = LinkFromRecord(record);
        if (std::find(released.begin(), released.end(), state.index) != released.end()) continue;
        view.links.push_back(state);
    }
    return true;
}

}  // namespace vantorel::route_shim
