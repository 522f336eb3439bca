#include "protocol/json_scan.h"
