#pragma once
// Sleeper over the system sleep. Windows only.

#include "broker/contracts/platform_services.h"

namespace vantorel {

class Win32Sleeper : public Sleeper {
public:
    void sleep_ms(int ms) override;
};

}  // namespace vantorel
