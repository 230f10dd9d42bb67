#include "installer/integration/integration.h"

// The shortcut work is not built yet: the run goes on without shortcuts.
void CreateShortcuts() {}
