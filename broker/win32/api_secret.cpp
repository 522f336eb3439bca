#include "broker/win32/api_secret.h"
