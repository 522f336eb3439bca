#pragma once
// The broker's files in the run directory: ledger, engine configuration, pin file. Windows only.

#include <cstdint>
#include <string>

#include "broker/contracts/platform_services.h"
#include "broker/win32/data_directory.h"

namespace vantorel {

// Engine configuration: SYSTEM and Administrators only, nothing inherited.
inline constexpr wchar_t kEngineConfigSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

class Win32SessionFiles : public SessionFiles {
public:
    Win32SessionFiles();  // below the "ProgramData" directory
    explicit Win32SessionFiles(const std::wstring& base);
    explicit Win32SessionFiles(DataPaths paths);

    int load_ledger(SessionLedger& out) override;
    bool save_ledger(const SessionLedger& ledger) override;
    bool delete_ledger() override;
    bool write_engine_config(const std::string& json) override;
    bool shred_engine_config() override;
    bool engine_config_exists() override;
    std::string read_pin() override;
    void delete_pin() override;
    std::uint32_t last_error() const override { return last_error_; }

    const DataPaths& paths() const { return paths_; }

private:
    // Records the error of a failed write (engine configuration or ledger); always false.
    bool fail_with(std::uint32_t error);

    DataPaths paths_;
    std::uint32_t last_error_ = 0;
};

// Reads at most a little over 65,536 bytes in 1,024-byte blocks; false when it cannot be opened.
bool ReadSmallFile(const std::wstring& path, std::string& out);

}  // namespace vantorel
