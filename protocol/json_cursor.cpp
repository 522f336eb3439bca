#include "protocol/json_cursor.h"
