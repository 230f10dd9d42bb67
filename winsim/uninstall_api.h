// What the uninstaller calls beyond the installer: the SDK's names and values
// for message boxes that ask, listing and removing folders, copying a file,
// deletion on close, child processes and the registry calls that remove.
// Included at the end of kernel32_api.h.
#pragma once

// Message boxes that ask
#define MB_YESNO 0x4
#define MB_ICONQUESTION 0x20
#define MB_ICONEXCLAMATION 0x30
#define MB_ICONINFORMATION 0x40
#define IDYES 6
#define IDNO 7

// Files and folders
#define ERROR_FILENAME_EXCED_RANGE 206L
#define DELETE 0x00010000
#define SYNCHRONIZE 0x00100000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL RemoveDirectoryA(LPCSTR name);
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);

// Processes
typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x0
#define WAIT_TIMEOUT 0x102
#define WAIT_FAILED 0xFFFFFFFF
#define DUPLICATE_SAME_ACCESS 0x2
HANDLE GetCurrentProcess(void);
DWORD GetCurrentProcessId(void);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD access, BOOL inherit, DWORD options);
BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                    LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION information);
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);

// Registry
typedef FILETIME* PFILETIME;
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                      LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                      LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                      LPDWORD securityDescriptorSize, PFILETIME lastWriteTime);
