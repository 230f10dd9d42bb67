#pragma once

enum ReplaceOutcome { Replaced = 1, InUse = 2, NewerPresent = 3, Failed = 5 };

// Puts the carried main program into the install folder through "image.tmp".
ReplaceOutcome ReplaceMainProgram();
