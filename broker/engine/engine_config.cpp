#include "broker/engine/engine_config.h"
