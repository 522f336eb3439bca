#include "broker/win32/ledger_text.h"
