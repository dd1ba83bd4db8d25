// COM (ole32): apartments, object creation through the class store in the
// registry, class-object registration, task memory, GUID strings, OleRun.
//
// The class store is HKEY_CLASSES_ROOT: CLSID\{...}\InprocServer32 names a
// shared library (entered through DllGetClassObject) or a built-in server
// "qel-builtin:<name>"; LocalServer32 names the platform's built-in registrar.
// Out-of-process activation of an executable is not available on this
// platform and fails with CO_E_SERVER_EXEC_FAILURE.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "unknwn.h"

// ---- Class contexts ----------------------------------------------------------
typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_INPROC_SERVER16 = 0x8,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_INPROC_HANDLER16 = 0x20,
  CLSCTX_NO_CODE_DOWNLOAD = 0x400,
  CLSCTX_NO_CUSTOM_MARSHAL = 0x1000,
  CLSCTX_ENABLE_CODE_DOWNLOAD = 0x2000,
  CLSCTX_NO_FAILURE_LOG = 0x4000,
  CLSCTX_DISABLE_AAA = 0x8000,
  CLSCTX_ENABLE_AAA = 0x10000,
  CLSCTX_FROM_DEFAULT_CONTEXT = 0x20000,
  CLSCTX_ACTIVATE_32_BIT_SERVER = 0x40000,
  CLSCTX_ACTIVATE_64_BIT_SERVER = 0x80000
} CLSCTX;

#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// ---- Apartment models ----------------------------------------------------------
typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

// ---- Class-object registration flags ----------------------------------------------
typedef enum tagREGCLS {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
  REGCLS_MULTI_SEPARATE = 2,
  REGCLS_SUSPENDED = 4,
  REGCLS_SURROGATE = 8
} REGCLS;

// ---- Running objects ----------------------------------------------------------------
struct IBindCtx;
typedef IBindCtx* LPBINDCTX;

extern "C" const IID IID_IRunnableObject;

struct DECLSPEC_NOVTABLE IRunnableObject : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetRunningClass(LPCLSID lpClsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE Run(LPBINDCTX pbc) = 0;
  virtual BOOL STDMETHODCALLTYPE IsRunning() = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRunning(BOOL fLock, BOOL fLastUnlockCloses) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL fContained) = 0;

 protected:
  ~IRunnableObject() = default;
};
typedef IRunnableObject* LPRUNNABLEOBJECT;

// ---- Entry points of an in-process server library -------------------------------------
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);
typedef HRESULT(STDAPICALLTYPE* LPFNDLLREGISTERSERVER)(void);
typedef HRESULT(STDAPICALLTYPE* LPFNDLLUNREGISTERSERVER)(void);

// What a server library exports (declared so that its definitions get C linkage).
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
STDAPI DllCanUnloadNow(void);
STDAPI DllRegisterServer(void);
STDAPI DllUnregisterServer(void);

extern "C" {

// ---- Apartments (per thread) ----------------------------------------------------------
// CoInitialize(NULL) is CoInitializeEx(NULL, COINIT_APARTMENTTHREADED). S_OK the
// first time on a thread, S_FALSE when the thread is already in that model
// (each success needs its CoUninitialize), RPC_E_CHANGED_MODE for the other model.
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// The last CoUninitialize of a thread revokes the class objects it registered.
void WINAPI CoUninitialize(void);

// ---- Object creation --------------------------------------------------------------------
// *ppv is null on every failure. A thread without an apartment gets CO_E_NOTINITIALIZED.
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                LPVOID* ppv);
// pvServerInfo must be null (no remote machines here).
HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvServerInfo, REFIID riid,
                                LPVOID* ppv);
HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                                     LPDWORD lpdwRegister);
HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister);
// Makes class objects registered with REGCLS_SUSPENDED available.
HRESULT WINAPI CoResumeClassObjects(void);
// Unloads every server library whose DllCanUnloadNow answers S_OK.
void WINAPI CoFreeUnusedLibraries(void);
// Puts an object in the running state: IRunnableObject::Run when it has one,
// otherwise S_OK (an in-process object is running already).
HRESULT WINAPI OleRun(LPUNKNOWN pUnknown);

// ---- Task memory ---------------------------------------------------------------------------
LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void WINAPI CoTaskMemFree(LPVOID pv);

// ---- Class identifiers and their strings ---------------------------------------------------
// HKCR\<ProgID>\CLSID, following HKCR\<ProgID>\CurVer when the ProgID has no
// CLSID of its own. An unknown ProgID gives CO_E_CLASSSTRING.
HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// HKCR\CLSID\{...}\ProgID, as a CoTaskMemAlloc'd string.
HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (any case), or a registered ProgID.
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
// Upper-case "{...}" with its terminator: 39, or 0 when cchMax is below 39.
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);

}  // extern "C"
