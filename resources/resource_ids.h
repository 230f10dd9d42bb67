// Numbers shared by the resource script and the code.
#pragma once

#define IDD_LOCATION 101
#define IDD_PROGRESS 103
#define IDD_AGREEMENT 158
#define IDI_QUILLMARK 103
#define IDC_FOLDER 1000
#define IDC_AGREEMENT_TEXT 1000
#define IDC_CHANGE 1002
