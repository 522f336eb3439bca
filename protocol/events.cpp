#include "protocol/events.h"
