#pragma once
// What an uninstall removes of the broker's data: only the files the broker itself writes, by
// name, in folders PrepareDataDirectory has just made sure are its own. Windows only.

#include <cstdint>

#include "broker/win32/data_directory.h"

namespace vantorel {

// Deletes the run folder's files and the folder; with `logs`, also the service logs, their
// folder and the product folder (each folder only when empty). Anything that is not a plain
// file or a real folder (a link, a junction) is left alone. 0, or the first failing call's error.
std::uint32_t RemoveOwnData(const DataPaths& paths, bool logs);

}  // namespace vantorel
