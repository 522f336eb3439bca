#pragma once
// Reads who may change the engine's folder and executable. Windows only.

#include <string>

namespace vantorel {

// "" when only SYSTEM, Administrators, TrustedInstaller or this process's account can change
// `path` (the decision: broker/portable/install_trust.h), else the reason word.
std::string UntrustedChangeReasonOf(const std::wstring& path);

}  // namespace vantorel
