#pragma once
// The filters the test fwpuclnt.dll holds, as plain records, and where they go: a text file the
// test suites read, one line per filter.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel::fwp_shim {

enum class Layer { connect_v4 = 0, connect_v6 = 1, recv_accept_v4 = 2, recv_accept_v6 = 3 };

enum class Field { none, local_interface, remote_address, remote_port, local_port, protocol, app_id, flags };

struct Condition {
    Field field = Field::none;
    std::uint64_t number = 0;  // interface LUID, port (range low), protocol, flags
    std::uint64_t number_high = 0;
    std::uint32_t v4 = 0;  // host order
    unsigned char v6[16] = {};
    int prefix = 0;
    std::wstring text;  // application id
};

struct FilterRecord {
    std::uint64_t id = 0;
    Layer layer = Layer::connect_v4;
    bool permit = false;
    int weight = 0;
    std::vector<Condition> conditions;
};

// "id=1001 layer=connect_v4 action=permit weight=13 local_interface=9000 ..." per filter.
std::string DescribeFilters(const std::vector<FilterRecord>& filters);

// Called under the shim's lock after every change that took effect.
void ApplyFilters(const std::vector<FilterRecord>& filters);

}  // namespace vantorel::fwp_shim
