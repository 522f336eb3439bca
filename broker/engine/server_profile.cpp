#include "broker/engine/server_profile.h"
