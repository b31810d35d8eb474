#include "CloudMetricsDialogs.h"
