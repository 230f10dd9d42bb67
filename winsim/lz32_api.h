// lz32's expander calls over SZDD files and their LZERROR_* results.
#pragma once

#include "winsim/base_api.h"

#define LZERROR_BADINHANDLE (-1)
#define LZERROR_BADOUTHANDLE (-2)
#define LZERROR_READ (-3)
#define LZERROR_WRITE (-4)
#define LZERROR_GLOBALLOC (-5)
#define LZERROR_UNKNOWNALG (-8)
INT LZInit(INT file);
LONG LZCopy(INT source, INT dest);
void LZClose(INT file);
