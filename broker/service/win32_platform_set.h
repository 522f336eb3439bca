#pragma once
// The Windows platform objects a TunnelController runs over, built the same way for the
// service and for reconcile mode. Windows only.

#include "broker/win32/win32_engine.h"
#include "broker/win32/data_directory.h"
#include "broker/win32/win32_connectivity_probe.h"
#include "broker/win32/win32_firewall.h"
#include "broker/win32/win32_resolver.h"
#include "broker/win32/win32_route_table.h"
#include "broker/win32/win32_session_files.h"
#include "broker/win32/win32_sleeper.h"
#include "broker/win32/win32_tunnel_log.h"

namespace vantorel {

struct PlatformSet {
    explicit PlatformSet(const DataPaths& paths);

    Win32RouteTable routes;
    Win32Engine engine;
    Win32Resolver resolver;
    Win32ConnectivityProbe probe;
    Win32SessionFiles files;
    Win32TunnelLog log;
    Win32Sleeper sleeper;
    Win32Firewall firewall;
};

// The engine executable: sing-box.exe beside the broker's own executable.
std::wstring EnginePath();

// One log line for what the start-up preparation of the data directory found or did.
void LogDataDirectoryOutcome(TunnelLog& log, const DataDirectoryOutcome& outcome);

// A data directory that is not secured stops the service (and --reconcile) before anything in
// it is used. The reason goes to the Windows event log, and to the service log only when the log
// directory itself is secured: a log written into a folder a user controls could be redirected.
void ReportUnsecuredDataDirectory(const DataPaths& paths, const DataDirectoryOutcome& outcome);
// The Windows error the control manager records for that stop; never 0.
std::uint32_t DataDirectoryExitCode(const DataDirectoryOutcome& outcome);

}  // namespace vantorel
