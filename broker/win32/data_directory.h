#pragma once
// Where the broker keeps its files, and the one-time hardening of that place. Windows only.

#include <cstdint>
#include <string>

namespace vantorel {

// Every path the broker uses below the machine-wide data directory.
struct DataPaths {
    std::wstring base;                  // %ProgramData%, or C:\ProgramData
    std::wstring product;               // base\Vantorel
    std::wstring run;                   // product\run
    std::wstring logs;                  // product\logs
    std::wstring engine_config;         // run\current_session.json
    std::wstring ledger;                // run\ledger.txt
    std::wstring ledger_tmp;            // run\ledger.txt.tmp
    std::wstring ledger_bad;            // run\ledger.bad
    std::wstring pin;                   // run\pin.txt
    std::wstring service_log;           // logs\service.log
    std::wstring service_log_previous;  // logs\service.log.1
};

// The "ProgramData" variable read into a 260-character buffer; "C:\ProgramData" when it is
// missing, empty or does not fit.
std::wstring DataBaseDirectory();
DataPaths DataPathsFor(const std::wstring& base);
DataPaths CurrentDataPaths();

// SDDL of the product directory: SYSTEM and Administrators full control, authenticated users
// read and execute; protected, inherited by everything below it.
inline constexpr wchar_t kProductDirectorySddl[] =
    L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";

// A security descriptor built from SDDL text, owned until destruction.
class SddlDescriptor {
public:
    explicit SddlDescriptor(const wchar_t* sddl);
    ~SddlDescriptor();
    SddlDescriptor(const SddlDescriptor&) = delete;
    SddlDescriptor& operator=(const SddlDescriptor&) = delete;

    bool valid() const { return descriptor_ != nullptr; }
    void* get() const { return descriptor_; }  // PSECURITY_DESCRIPTOR
    std::uint32_t error() const { return error_; }

private:
    void* descriptor_ = nullptr;
    std::uint32_t error_ = 0;
};

// Creates the product directory (with the protected descriptor above), then `directory`, one
// level each. Failures are ignored: a real one shows up when a file is opened.
void EnsureDirectory(const DataPaths& paths, const std::wstring& directory);
inline void EnsureRunDirectory(const DataPaths& paths) { EnsureDirectory(paths, paths.run); }
inline void EnsureLogDirectory(const DataPaths& paths) { EnsureDirectory(paths, paths.logs); }

// SYSTEM, Administrators or the account this process runs as (`sid` is a PSID).
bool IsTrustedOwner(void* sid);

// What PrepareDataDirectory did, for the service host to log once its log can be written.
struct DataDirectoryOutcome {
    bool moved_aside = false;   // a directory not made by us was renamed
    std::wstring moved_from;    // the last one renamed (product, run or logs)
    std::wstring moved_to;
    bool secured = false;       // the product directory exists and carries the protected DACL
    std::uint32_t error = 0;    // Windows error of the first failing step, 0 when none
    std::string failed_step;    // "owner", "move_aside", "descriptor", "create", "set_dacl" or ""
};

// Once per process, before anything in the data directory is read or written.
DataDirectoryOutcome PrepareDataDirectory(const DataPaths& paths);
inline DataDirectoryOutcome PrepareDataDirectory() { return PrepareDataDirectory(CurrentDataPaths()); }

}  // namespace vantorel
