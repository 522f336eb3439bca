#pragma once
// Which mode the controller runs, chosen from its command line.

#include <string>
#include <vector>

namespace vantorel {

enum class ControllerMode { session, status, disconnect };

struct ModeChoice {
    bool known = false;
    ControllerMode mode = ControllerMode::session;
};

inline constexpr const char kUsageText[] = "usage: VantorelCtl.exe [session|status|disconnect]\n";

// `args` is the whole argument list, program name first. Only the first argument after the
// program name counts; the comparison is exact and case-sensitive.
ModeChoice SelectMode(const std::vector<std::wstring>& args);

}  // namespace vantorel
