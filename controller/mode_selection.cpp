#include "controller/mode_selection.h"

namespace vantorel {

ModeChoice SelectMode(const std::vector<std::wstring>& args) {
    if (args.size() < 2) return {true, ControllerMode::session};
    const std::wstring& first = args[1];
    if (first == L"session") return {true, ControllerMode::session};
    if (first == L"status") return {true, ControllerMode::status};
    if (first == L"disconnect") return {true, ControllerMode::disconnect};
    return {false, ControllerMode::session};
}

}  // namespace vantorel
