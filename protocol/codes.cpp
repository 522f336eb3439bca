#include "protocol/codes.h"
