#include "broker/win32/flow_response.h"
