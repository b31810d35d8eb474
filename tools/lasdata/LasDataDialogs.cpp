#include "LasDataDialogs.h"
