// comctl32's one call, which registers the common controls' window classes.
#pragma once

#include "winsim/base_api.h"

void InitCommonControls(void);
