#pragma once
// How the broker's command line chooses its mode.

#include <string>
#include <vector>

namespace vantorel {

inline constexpr wchar_t kReconcileArgument[] = L"--reconcile";

// Only a second argument equal to "--reconcile", letter case included, selects reconcile mode.
bool SelectsReconcileMode(const std::vector<std::wstring>& arguments);

// What the uninstaller asks the reconcile to remove once the host is verified clean: the broker
// deletes its own files by name rather than letting the installer delete folders as SYSTEM.
struct DataRemoval {
    bool run = false;   // "--remove-data": the run folder's files and the folder
    bool logs = false;  // "--remove-logs" besides: the logs, their folder and the product folder
};
DataRemoval RequestedDataRemoval(const std::vector<std::wstring>& arguments);

}  // namespace vantorel
