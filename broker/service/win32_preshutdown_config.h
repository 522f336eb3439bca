#pragma once
// The broker's own part of its service configuration: a pre-shutdown time-out long enough for
// the final teardown, whatever installed the service. Windows only.

#include "broker/contracts/platform_services.h"

namespace vantorel {

// Raises the service's pre-shutdown time-out to kPreshutdownTimeoutMs when it is shorter; a
// failure is logged ("service_config"/"preshutdown") and the service runs on.
void EnsurePreshutdownTimeout(TunnelLog& log);

}  // namespace vantorel
