// ole32's COM basics: GUIDs, OLE text, IUnknown, IMalloc and IPersistFile.
#pragma once

#include "winsim/base_api.h"

typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

typedef WCHAR OLECHAR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* LPOLESTR;

// CoCreateInstance is reached through GetProcAddress: OLE32 is loaded by name
// at run time.
#define STDMETHODCALLTYPE
#define CLSCTX_INPROC_SERVER 0x1
#define STGM_READ 0x0

// The interfaces in full, each method in the slot the system's table has it
// in: a call through the wrong interface reaches the same slot as on
// Windows. The shell-link object answers each interface with an object of
// its own (control_shell32.h).
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IMalloc {
  virtual HRESULT QueryInterface(const void* iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual void* Alloc(SIZE_T bytes) = 0;
  virtual void* Realloc(void* p, SIZE_T bytes) = 0;
  virtual void Free(void* p) = 0;
  virtual SIZE_T GetSize(void* p) = 0;
  virtual int DidAlloc(void* p) = 0;
  virtual void HeapMinimize() = 0;

 protected:
  ~IMalloc() = default;
};
typedef IMalloc* LPMALLOC;

struct IPersist : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) = 0;

 protected:
  ~IPersist() = default;
};

struct IPersistFile : IPersist {
  virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(LPCOLESTR file, DWORD mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(LPCOLESTR file, BOOL remember) = 0;
  virtual HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR file) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* file) = 0;

 protected:
  ~IPersistFile() = default;
};
