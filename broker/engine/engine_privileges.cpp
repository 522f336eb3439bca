#include "broker/engine/engine_privileges.h"

namespace vantorel {

bool EngineKeepsPrivilege(std::string_view name) {
    // Traversal checks (every process has it); global named objects (Wintun's install mutex);
    // loading the Wintun driver when the adapter is created.
    return name == "SeChangeNotifyPrivilege" || name == "SeCreateGlobalPrivilege" || name == "SeLoadDriverPrivilege";
}

}  // namespace vantorel
