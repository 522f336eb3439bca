#include "protocol/frames.h"
