// Removing a leftover adapter of ours through SetupAPI (DIF_REMOVE), found by its instance id;
// Win32RouteTable::remove_adapter, declared in win32_route_table.h.

#include <windows.h>
#include <setupapi.h>

#include <cwchar>

#include "broker/win32/wide_text.h"
#include "broker/win32/win32_route_table.h"
#include "common/win32/win_handle.h"

namespace vantorel {
namespace {

// {4D36E972-E325-11CE-BFC1-08002BE10318}: the network adapter setup class.
constexpr GUID kNetClassGuid = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr DWORD kUnreadableDevicesInARow = 64;

// HDEVINFO uses INVALID_HANDLE_VALUE for "none", so the generic owner does not fit.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~DeviceInfoSet() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

using RegistryKey = ScopedResource<HKEY, RegCloseKey>;

// The adapter's instance GUID lives in its driver key as "NetCfgInstanceId".
bool DeviceHasInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& guid) {
    HKEY raw = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (raw == INVALID_HANDLE_VALUE || raw == nullptr) return false;
    RegistryKey key(raw);
    wchar_t value[128] = {};  // 256 bytes, zeroed so an unterminated value still ends
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), L"NetCfgInstanceId", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
        ERROR_SUCCESS)
        return false;
    return _wcsicmp(value, guid.c_str()) == 0;
}

bool RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, &device, &params.ClassInstallHeader, sizeof(params))) return false;
    return SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
}

}  // namespace

// Wintun removes its adapter itself when the engine ends, and the adapter can still be listed
// for a moment after: with no present device there is nothing left to uninstall, and the
// teardown's listing afterwards says whether the adapter is really gone.
bool Win32RouteTable::remove_adapter(const AdapterInfo& adapter) {
    if (adapter.guid.empty()) return fail(ERROR_INVALID_PARAMETER);
    std::wstring guid = Utf8ToWide(adapter.guid);
    if (guid.empty()) return fail(ERROR_INVALID_PARAMETER);
    // Quirk: docs/windows-quirks.md, "A removed Wintun adapter can still be listed".
    DeviceInfoSet set(SetupDiGetClassDevsW(&kNetClassGuid, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.valid()) return fail(GetLastError());
    DWORD skipped_in_a_row = 0;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_ITEMS) return succeed();
            // One unreadable entry does not end the list; a list that keeps failing cannot
            // tell whether the adapter is still there.
            if (++skipped_in_a_row >= kUnreadableDevicesInARow) return fail(error);
            continue;
        }
        skipped_in_a_row = 0;
        if (!DeviceHasInstanceId(set.get(), device, guid)) continue;
        if (!RemoveDevice(set.get(), device)) return fail(GetLastError());
        return succeed();
    }
}

}  // namespace vantorel
