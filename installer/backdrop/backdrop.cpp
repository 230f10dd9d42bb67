#include "installer/backdrop/backdrop.h"

// Not painted yet: without a backdrop every dialog is simply shown without an
// owner, which the run already has to cope with when the window fails.
HWND CreateBackdropWindow(HINSTANCE) { return nullptr; }
