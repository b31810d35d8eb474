#include "CanopyDialogs.h"
