#pragma once
// Where the broker keeps its files, and the one-time hardening of that place. Windows only.

#include <cstdint>
#include <functional>
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

// SDDL of the product directory: SYSTEM and Administrators full control, nobody else; protected,
// inherited by everything below it. Users get no read: the ledger names the session's routes and
// the log names every user's destinations, and a reader could hold either file against the broker.
inline constexpr wchar_t kProductDirectorySddl[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

// Creates the product directory (with the protected descriptor above) when it is missing, then
// `directory` inside it, one level each, but never inside a product directory that is not ours.
// Failures are ignored: a real one shows up when a file is opened.
void EnsureDirectory(const DataPaths& paths, const std::wstring& directory);
inline void EnsureRunDirectory(const DataPaths& paths) { EnsureDirectory(paths, paths.run); }
inline void EnsureLogDirectory(const DataPaths& paths) { EnsureDirectory(paths, paths.logs); }

// What PrepareDataDirectory found and did, for the service host to act on and log.
struct DataDirectoryOutcome {
    bool moved_aside = false;  // a directory not made by us was renamed
    std::wstring moved_from;   // the last one renamed (product, run or logs)
    std::wstring moved_to;
    bool secured = false;      // product, run and logs are all ours and closed to other users
    bool logs_usable = false;  // the product and log directories are: the service log may be written
    std::uint32_t error = 0;   // Windows error of the first failing step (5 when nothing failed
                               // but what was found is not ours)
    std::string failed_step;   // "move_aside", "descriptor", "create", "foreign", "set_dacl",
                               // "verify" or ""
    std::wstring failed_path;
};

// Test seam: runs right after a directory was moved aside, where a user could race to re-create it.
struct DataDirectoryHooks {
    std::function<void(const std::wstring& moved_from)> after_move_aside;
};

// Once per process, before anything in the data directory is read or written. Nothing in the
// directory may be trusted unless the outcome says secured.
DataDirectoryOutcome PrepareDataDirectory(const DataPaths& paths, const DataDirectoryHooks& hooks = {});
inline DataDirectoryOutcome PrepareDataDirectory() { return PrepareDataDirectory(CurrentDataPaths()); }

}  // namespace vantorel
