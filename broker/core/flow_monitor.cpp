#include "broker/core/tunnel_controller.h"
