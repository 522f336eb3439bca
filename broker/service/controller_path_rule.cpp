#include "broker/service/controller_path_rule.h"

namespace vantorel {
namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SamePath(const std::wstring& a, const std::wstring& b, const PathComparison& comparison) {
    const std::wstring na = comparison.normalise ? comparison.normalise(a) : a;
    const std::wstring nb = comparison.normalise ? comparison.normalise(b) : b;
    return comparison.equal_ignoring_case(na, nb);
}

}  // namespace

bool AsciiEqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

PathComparison PortablePathComparison() {
    PathComparison comparison;
    comparison.normalise = [](const std::wstring& path) { return path; };
    comparison.equal_ignoring_case = AsciiEqualIgnoringCase;
    return comparison;
}

bool IsControllerImagePath(const std::wstring& image_path, const std::wstring& own_directory,
                           const PathComparison& comparison) {
    if (image_path.empty()) return false;
    if (SamePath(image_path, kInstalledControllerPath, comparison)) return true;
    const std::wstring beside_broker = own_directory + L"\\" + kControllerFileName;
    return SamePath(image_path, beside_broker, comparison);
}

}  // namespace vantorel
