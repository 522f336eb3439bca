#pragma once
// The stand-in engine's TUN adapter: the route agent of the test namespace creates the link
// "VantorelTun" and removes it when this process's connection to it closes, so the adapter
// lives exactly as long as the process, whatever ends it.

#include <memory>
#include <string>

namespace vantorel::route_shim {
class AgentLink;
}

namespace vantorel::stand_in {

class HeldAdapter {
public:
    HeldAdapter();
    ~HeldAdapter();
    // Asks for the adapter; on refusal `error` says why.
    bool acquire(std::string& error);

private:
    std::unique_ptr<route_shim::AgentLink> link_;
};

}  // namespace vantorel::stand_in
