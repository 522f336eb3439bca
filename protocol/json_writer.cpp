#include "protocol/json_writer.h"
