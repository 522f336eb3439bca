#pragma once
// Which executable may talk to the broker: the controller at its installed path, or the copy
// beside the broker itself. Paths are compared after normalisation, ignoring letter case.

#include <functional>
#include <string>

namespace vantorel {

inline constexpr wchar_t kInstalledControllerPath[] = L"C:\\Program Files\\Vantorel\\VantorelCtl.exe";
inline constexpr wchar_t kControllerFileName[] = L"VantorelCtl.exe";

struct PathComparison {
    // Full-path normalisation; a text that cannot be normalised comes back unchanged.
    std::function<std::wstring(const std::wstring&)> normalise;
    // Ordinal equality ignoring letter case.
    std::function<bool(const std::wstring&, const std::wstring&)> equal_ignoring_case;
};

// No normalisation and ASCII case folding: enough where no system normalisation exists.
PathComparison PortablePathComparison();
bool AsciiEqualIgnoringCase(const std::wstring& a, const std::wstring& b);

// `own_directory` is the broker's executable directory (no trailing separator).
bool IsControllerImagePath(const std::wstring& image_path, const std::wstring& own_directory,
                           const PathComparison& comparison);

}  // namespace vantorel
