// Numbers shared by the resource script and the code.
#pragma once

#define IDD_LOCATION 101
#define IDD_PROGRESS 103
#define IDD_AGREEMENT 158
#define IDI_QUILLMARK 103
#define IDC_FOLDER 1000
#define IDC_AGREEMENT_TEXT 1000
#define IDC_CHANGE 1002

// The controls of each dialog template, in template order (-1: a static),
// for the simulated system's copy of the templates and for the check of the
// built program's resources.
#define IDD_LOCATION_CONTROLS {IDOK, IDCANCEL, IDC_FOLDER, IDC_CHANGE, -1, -1}
#define IDD_PROGRESS_CONTROLS {-1}
#define IDD_AGREEMENT_CONTROLS {IDOK, IDCANCEL, IDC_AGREEMENT_TEXT, -1}
