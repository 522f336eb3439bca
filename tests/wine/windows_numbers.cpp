// The portable code mirrors these Windows numbers so that it builds and is tested without
// <windows.h>; this file holds them against the real definitions. It only has to compile.

#include <windows.h>

#include "broker/contracts/platform_services.h"
#include "broker/win32/win32_engine.h"
#include "broker/service/win32_pipe_server.h"
#include "broker/service/service_status_table.h"
#include "controller/broker_connect_rules.h"

namespace vantorel {

static_assert(win32_error::file_not_found == ERROR_FILE_NOT_FOUND);
static_assert(win32_error::access_denied == ERROR_ACCESS_DENIED);
static_assert(win32_error::invalid_handle == ERROR_INVALID_HANDLE);
static_assert(win32_error::invalid_data == ERROR_INVALID_DATA);
static_assert(win32_error::write_fault == ERROR_WRITE_FAULT);
static_assert(win32_error::handle_disk_full == ERROR_HANDLE_DISK_FULL);
static_assert(win32_error::not_supported == ERROR_NOT_SUPPORTED);
static_assert(win32_error::invalid_parameter == ERROR_INVALID_PARAMETER);
static_assert(win32_error::broken_pipe == ERROR_BROKEN_PIPE);
static_assert(win32_error::buffer_overflow == ERROR_BUFFER_OVERFLOW);
static_assert(win32_error::disk_full == ERROR_DISK_FULL);
static_assert(win32_error::no_data == ERROR_NO_DATA);
static_assert(win32_error::pipe_not_connected == ERROR_PIPE_NOT_CONNECTED);
static_assert(win32_error::wait_timeout == WAIT_TIMEOUT);
static_assert(win32_error::operation_aborted == ERROR_OPERATION_ABORTED);
static_assert(win32_error::not_found == ERROR_NOT_FOUND);
static_assert(win32_error::connection_refused == ERROR_CONNECTION_REFUSED);
static_assert(win32_error::timeout == ERROR_TIMEOUT);
static_assert(win32_error::object_already_exists == ERROR_OBJECT_ALREADY_EXISTS);

static_assert(service_state::stopped == SERVICE_STOPPED);
static_assert(service_state::start_pending == SERVICE_START_PENDING);
static_assert(service_state::stop_pending == SERVICE_STOP_PENDING);
static_assert(service_state::running == SERVICE_RUNNING);
static_assert(service_control::stop == SERVICE_CONTROL_STOP);
static_assert(service_control::power_event == SERVICE_CONTROL_POWEREVENT);
static_assert(service_control::preshutdown == SERVICE_CONTROL_PRESHUTDOWN);
static_assert(service_control::power_suspend == PBT_APMSUSPEND);
static_assert(kServiceOwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(kControlsAccepted == (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_PRESHUTDOWN));

static_assert(kEngineCreateFlags == (CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT |
                                     CREATE_NO_WINDOW | CREATE_BREAKAWAY_FROM_JOB));
static_assert(kEngineCreateFlagsNoBreakaway ==
              (kEngineCreateFlags & ~static_cast<unsigned long>(CREATE_BREAKAWAY_FROM_JOB)));

// The controller's, for reading why the pipe could not be opened.
static_assert(kWin32FileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kWin32SemTimeout == ERROR_SEM_TIMEOUT);
static_assert(kWin32PipeBusy == ERROR_PIPE_BUSY);
static_assert(kWin32ServiceNotActive == ERROR_SERVICE_NOT_ACTIVE);

// Read and write for users, without FILE_CREATE_PIPE_INSTANCE (the same bit as FILE_APPEND_DATA).
static_assert(kPipeUserAccess == ((FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~static_cast<DWORD>(FILE_APPEND_DATA)));
static_assert(FILE_APPEND_DATA == FILE_CREATE_PIPE_INSTANCE);

}  // namespace vantorel
