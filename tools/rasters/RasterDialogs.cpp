#include "RasterDialogs.h"
