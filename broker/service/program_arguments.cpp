#include "broker/service/program_arguments.h"

namespace vantorel {

bool SelectsReconcileMode(const std::vector<std::wstring>& arguments) {
    return arguments.size() >= 2 && arguments[1] == kReconcileArgument;
}

}  // namespace vantorel
