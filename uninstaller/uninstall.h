// The uninstaller: removes what Quil.exe installed, exactly that, and says
// truly what it removed.
#pragma once

// The exit codes of a run.
enum UninstallOutcome {
  Removed = 0,         // everything the install made is gone
  PartlyRemoved = 1,   // something remains; the message names it and why
  NotInstalled = 2,    // nothing recorded, or no main program where recorded
  Declined = 3,        // the user answered No
  ProgramRunning = 4,  // the installed program runs: nothing was removed
  RecordUnread = 5,    // the install's record or folder could not be read
};

// Runs the uninstaller with the arguments of its command line (the program's
// name not included) and gives its exit code. It takes no options of the
// user's: the only argument it knows is the one its temporary copy is
// started with (self_removal.cpp).
int RunUninstaller(const char* arguments);
