#pragma once
// Which of the broker's privileges the engine keeps. The engine parses hostile network input;
// it runs as SYSTEM because Wintun, WFP and the route calls need the Administrators group, but
// no privilege beyond those below does anything it needs.

#include <string_view>

namespace vantorel {

// Privilege names as Windows spells them ("SeDebugPrivilege"); compared exactly.
bool EngineKeepsPrivilege(std::string_view name);

}  // namespace vantorel
