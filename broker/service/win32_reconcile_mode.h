#pragma once
// "VantorelBroker.exe --reconcile": stop the service, run the crash recovery once, and tell by
// the exit code whether the host is clean. Windows only.

#include "broker/service/program_arguments.h"

namespace vantorel {

// 0 when the recovery ends idle with the cleanup verified, else 1. Only then is `removal` done.
int RunReconcileMode(const DataRemoval& removal);

}  // namespace vantorel
