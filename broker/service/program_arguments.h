#pragma once
// How the broker's command line chooses its mode.

#include <string>
#include <vector>

namespace vantorel {

inline constexpr wchar_t kReconcileArgument[] = L"--reconcile";

// Only a second argument equal to "--reconcile", letter case included, selects reconcile mode.
bool SelectsReconcileMode(const std::vector<std::wstring>& arguments);

}  // namespace vantorel
