#include "broker/engine/output_analysis.h"
