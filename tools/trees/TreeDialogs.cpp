#include "TreeDialogs.h"
