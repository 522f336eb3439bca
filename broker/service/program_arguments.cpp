#include "broker/service/program_arguments.h"

namespace vantorel {

bool SelectsReconcileMode(const std::vector<std::wstring>& arguments) {
    return arguments.size() >= 2 && arguments[1] == kReconcileArgument;
}

DataRemoval RequestedDataRemoval(const std::vector<std::wstring>& arguments) {
    DataRemoval removal;
    if (!SelectsReconcileMode(arguments)) return removal;
    bool logs = false;
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        if (arguments[i] == L"--remove-data") removal.run = true;
        if (arguments[i] == L"--remove-logs") logs = true;
    }
    removal.logs = removal.run && logs;
    return removal;
}

}  // namespace vantorel
