#pragma once
// A private "ProgramData" for one test: the prefix's real C:\ProgramData\Vantorel belongs to the
// service tests and must never be touched from here.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace vantorel::testing {

inline void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

inline std::wstring FreshTempDirectory(const wchar_t* tag) {
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    std::wstring dir = base + L"\\" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
    RemoveTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

class ScratchProgramData {
public:
    ScratchProgramData() : base_(FreshTempDirectory(L"vantorel-store")) {
        wchar_t old[1024];
        DWORD n = GetEnvironmentVariableW(L"ProgramData", old, 1024);
        had_old_ = n > 0 && n < 1024;
        if (had_old_) old_.assign(old, n);
        SetEnvironmentVariableW(L"ProgramData", base_.c_str());
    }
    ~ScratchProgramData() {
        SetEnvironmentVariableW(L"ProgramData", had_old_ ? old_.c_str() : nullptr);
        RemoveTree(base_);
    }
    ScratchProgramData(const ScratchProgramData&) = delete;
    ScratchProgramData& operator=(const ScratchProgramData&) = delete;

    const std::wstring& base() const { return base_; }

private:
    std::wstring base_;
    std::wstring old_;
    bool had_old_ = false;
};

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

inline bool ReadBytes(const std::wstring& path, std::string& out) {
    out.clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
    CloseHandle(file);
    return true;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline constexpr char kSystemSid[] = "S-1-5-18";
inline constexpr char kAdministratorsSid[] = "S-1-5-32-544";
inline constexpr char kAuthenticatedUsersSid[] = "S-1-5-11";

struct AceView {
    std::string sid;
    BYTE type = 0;
    BYTE flags = 0;
    DWORD mask = 0;
};

// Owner and DACL as stored on a file or directory (Wine stores ACLs but does not enforce them,
// so what is set is what the tests can check).
struct SecurityView {
    bool read = false;
    std::string owner;
    bool dacl_present = false;
    bool dacl_protected = false;
    std::vector<AceView> aces;
};

inline std::string SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return std::string();
    std::string out;
    for (const wchar_t* p = text; *p; ++p) out.push_back(static_cast<char>(*p));
    LocalFree(text);
    return out;
}

// The protection flag and the ACEs of a descriptor's DACL.
inline void DescribeDacl(PSECURITY_DESCRIPTOR sd, PACL dacl, SecurityView& view) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(sd, &control, &revision)) {
        view.dacl_protected = (control & SE_DACL_PROTECTED) != 0;
    }
    view.dacl_present = dacl != nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) continue;
        auto* header = static_cast<ACE_HEADER*>(raw);
        AceView ace;
        ace.type = header->AceType;
        ace.flags = header->AceFlags;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            ace.mask = allowed->Mask;
            ace.sid = SidText(&allowed->SidStart);
        }
        view.aces.push_back(ace);
    }
}

// A descriptor built in memory (from SDDL), described like one read from disk.
inline SecurityView DescribeDescriptor(PSECURITY_DESCRIPTOR sd) {
    SecurityView view;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (sd == nullptr || !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return view;
    view.read = true;
    DescribeDacl(sd, present ? dacl : nullptr, view);
    return view;
}

inline SecurityView ReadSecurity(const std::wstring& path) {
    SecurityView view;
    std::wstring name = path;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
        return view;
    }
    view.read = true;
    view.owner = SidText(owner);
    DescribeDacl(sd, dacl, view);
    LocalFree(sd);
    return view;
}

// Wine keeps no owner that is set through the API: a file's owner is its Unix owner (another
// Unix user shows as S-1-5-7). So a foreign owner is made with chown, run as a Unix program
// (started detached), and awaited. False when that is not possible here (not Wine, not root).
inline bool MakeForeignOwned(const std::wstring& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name");
    auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(found));
    if (unix_name == nullptr) return false;
    char* name = unix_name(path.c_str());
    if (name == nullptr) return false;
    std::wstring line = L"chown 4321 \"";
    for (const char* p = name; *p; ++p) line.push_back(static_cast<wchar_t>(*p));
    line += L"\"";
    HeapFree(GetProcessHeap(), 0, name);
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\bin\\chown", mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return false;
    }
    if (pi.hProcess) CloseHandle(pi.hProcess);
    if (pi.hThread) CloseHandle(pi.hThread);
    for (int i = 0; i < 300; ++i) {
        std::string owner = ReadSecurity(path).owner;
        if (owner == "S-1-5-7") return true;
        Sleep(10);
    }
    return false;
}

// Replaces the DACL (not protected), as an older install or another program might have left it.
inline DWORD SetDaclFromSddl(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        return GetLastError();
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::wstring name = path;
    DWORD status =
        SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    LocalFree(sd);
    return status;
}

inline bool GrantsWrite(DWORD mask) {
    const DWORD write_rights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                               FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    return (mask & write_rights) != 0;
}

// The SID of the account this process runs as, as text.
inline std::string ProcessUserSidText() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    unsigned char buffer[256];
    DWORD size = 0;
    std::string text;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
        text = SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    }
    CloseHandle(token);
    return text;
}

}  // namespace vantorel::testing
