// Executable-module framework: the module of an out-of-process COM server.
//
// One module object per program, a static object of a class T derived from
// CAtlExeModuleT<T>. It carries the module state from static initialisation
// to process exit and gives the program its life cycle: WinMain initialises
// COM, scans the command line for the registration words (RegServer,
// UnregServer, RegServerPerUser, UnregServerPerUser) and either handles the
// first one found or calls T::Run, then uninitialises COM.
//
// Only what the agent's programs rely on is here. The object map is always
// empty: no COM class is registered, created or served, and the module
// declares no AppID. A T customises the life cycle by hiding these members:
//   static HRESULT InitializeCom();   default CoInitializeEx, multithreaded
//   static void UninitializeCom();    default CoUninitialize
//   HRESULT Run(int nShowCmd);        required: there is no default loop
//
// Nothing here traces and nothing throws.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <oaidl.h>

#include <string>

// ---------------------------------------------------------------------------
// Critical section whose initialisation can fail and says so.
class CComCriticalSection
{
public:
    CComCriticalSection() : m_sec() {}
    ~CComCriticalSection() = default; // Term is explicit: the module decides when
    CComCriticalSection(const CComCriticalSection&) = delete;
    CComCriticalSection& operator=(const CComCriticalSection&) = delete;

    // InitializeCriticalSectionEx with no spin count and no flags; a failure
    // as the HRESULT of its Win32 error (E_FAIL when it left none).
    HRESULT Init();
    HRESULT Term();
    void Lock() { ::EnterCriticalSection(&m_sec); }
    void Unlock() { ::LeaveCriticalSection(&m_sec); }

    CRITICAL_SECTION m_sec;
};

// One termination callback of the module.
typedef void(__stdcall* _ATL_TERMFUNC)(DWORD_PTR dw);
struct _ATL_TERMFUNC_ELEM
{
    _ATL_TERMFUNC pFunc;
    DWORD_PTR dw;
    _ATL_TERMFUNC_ELEM* pNext;
};

// One class of the object map. The maps of the agent's programs are empty;
// the entry exists so that the module's start and end walk a real range.
struct _ATL_OBJMAP_ENTRY
{
    const CLSID* pclsid;
    void(WINAPI* pfnObjectMain)(bool bStarting);
    IUnknown* pCF; // cached class factory, released when the module goes
};

// What AddCommonRGSReplacements fills: the replacements of a registration
// script.
class IRegistrarBase
{
public:
    virtual HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT ClearReplacements() = 0;

protected:
    ~IRegistrarBase() = default;
};

// The module state shared by every module kind, in declaration order.
struct _ATL_MODULE70
{
    UINT cbSize;                      // sizeof(_ATL_MODULE70) once the lock below exists; 0 if it does not
    LONG m_nLockCnt;                  // locks taken through the module
    _ATL_TERMFUNC_ELEM* m_pTermFuncs; // run (and freed) when the module ends
    CComCriticalSection m_csStaticDataInitAndTypeInfo; // guards lazily created static data
};

class CAtlModule : public _ATL_MODULE70
{
public:
    // Set when the static-data lock could not be initialised: WinMain then
    // ends with -1. Process-wide, as there is one module per process.
    static bool m_bInitFailed;

    CAtlModule();
    // Slot 0. Does the work of Term.
    virtual ~CAtlModule();
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    // Slots 1 to 5.
    virtual LONG Lock();
    virtual LONG Unlock();
    virtual LONG GetLockCount();
    // The process's global interface table, created on first use and kept;
    // returned with a reference added. E_POINTER for a null output.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** ppGIT);
    virtual HRESULT AddCommonRGSReplacements(IRegistrarBase* pRegistrar) = 0;

    // Adds a callback run when the module ends. E_OUTOFMEMORY when no element
    // can be had; E_UNEXPECTED once the module has ended or never started.
    HRESULT AddTermFunc(_ATL_TERMFUNC pFunc, DWORD_PTR dw);

    // Runs the termination callbacks (last added first), releases the global
    // interface table, deletes the static-data lock and clears cbSize. Only
    // the first call after a successful start does anything.
    void Term();

    IGlobalInterfaceTable* m_pGIT;
};

// The module currently alive, or null.
extern CAtlModule* _pAtlModule;

// Per-user registration: the registration words ending in "PerUser" set it
// before they register or unregister. Process-wide.
bool AtlGetPerUserRegistration();
void AtlSetPerUserRegistration(bool perUser);

// --- framework helpers, not for general use --------------------------------
namespace atl_detail
{

// The first character after the next delimiter ("-" or "/") at or after p,
// walking with CharNextW; null when none is left.
LPCWSTR FindNextToken(LPCWSTR p);

// Whether the token starts with word, letters compared upper-cased
// (CharUpperW), and ends right after it: at the end of the text, a space or
// a tab.
bool TokenIsWord(LPCWSTR token, LPCWSTR word);

// The type library's file beside a module: the module path with its
// extension (from the last "." after the last "\") replaced by ".tlb", or
// ".tlb" appended when it has none. E_FAIL when the result would not fit in
// MAX_PATH characters (terminator included).
HRESULT TypeLibPathBeside(const std::wstring& modulePath, std::wstring& tlbPath);

// Loads the type library of the module: from the module file itself, else
// from the ".tlb" file beside it. path receives the file it came from.
HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** ppTypeLib, std::wstring& path);

// Registers / unregisters the module's type library, per user when the
// per-user flag is set and OLEAUT32.DLL (already loaded) exports the per-user
// function.
HRESULT RegisterModuleTypeLib(HINSTANCE module);
HRESULT UnRegisterModuleTypeLib(HINSTANCE module);

// The module that holds the framework's code.
HINSTANCE ThisModule();

} // namespace atl_detail

// ---------------------------------------------------------------------------
template <class T>
class CAtlModuleT : public CAtlModule
{
public:
    CAtlModuleT() = default;

    // "APPID" is the empty text: the module declares no AppID.
    HRESULT AddCommonRGSReplacements(IRegistrarBase* pRegistrar) override
    {
        if (pRegistrar == nullptr)
            return E_POINTER;
        return pRegistrar->AddReplacement(L"APPID", T::GetAppId());
    }

    static LPCOLESTR GetAppId() { return L""; }

    // The object map: empty unless T hides this.
    static _ATL_OBJMAP_ENTRY* ObjectMapBegin() { return nullptr; }
    static _ATL_OBJMAP_ENTRY* ObjectMapEnd() { return nullptr; }

    // Without an AppID there is nothing to write or remove.
    HRESULT RegisterAppId() { return S_OK; }
    HRESULT UnregisterAppId() { return S_OK; }

    // The classes of the object map (none), then, when asked, the type
    // library beside the executable.
    HRESULT RegisterServer(BOOL bRegTypeLib = FALSE, const CLSID* pCLSID = nullptr)
    {
        (void)pCLSID;
        HRESULT hr = S_OK;
        if (bRegTypeLib)
            hr = atl_detail::RegisterModuleTypeLib(atl_detail::ThisModule());
        return hr;
    }

    HRESULT UnregisterServer(BOOL bUnRegTypeLib, const CLSID* pCLSID = nullptr)
    {
        (void)pCLSID;
        HRESULT hr = S_OK;
        if (bUnRegTypeLib)
            hr = atl_detail::UnRegisterModuleTypeLib(atl_detail::ThisModule());
        return SUCCEEDED(hr) ? S_OK : hr;
    }
};

// ---------------------------------------------------------------------------
template <class T>
class CAtlExeModuleT : public CAtlModuleT<T>
{
public:
    CAtlExeModuleT()
        : m_dwMainThreadID(::GetCurrentThreadId()), m_hEventShutdown(nullptr), m_dwTimeOut(5000), m_dwPause(1000),
          m_bDelayShutdown(true), m_bActivity(false), m_bComInitialized(false)
    {
        for (_ATL_OBJMAP_ENTRY* entry = T::ObjectMapBegin(); entry != T::ObjectMapEnd(); ++entry)
        {
            if (entry->pfnObjectMain)
                entry->pfnObjectMain(true);
        }
    }

    ~CAtlExeModuleT() override
    {
        for (_ATL_OBJMAP_ENTRY* entry = T::ObjectMapBegin(); entry != T::ObjectMapEnd(); ++entry)
        {
            if (entry->pfnObjectMain)
                entry->pfnObjectMain(false);
        }
        this->Term();
        for (_ATL_OBJMAP_ENTRY* entry = T::ObjectMapBegin(); entry != T::ObjectMapEnd(); ++entry)
        {
            if (entry->pCF)
            {
                entry->pCF->Release();
                entry->pCF = nullptr;
            }
        }
    }

    // A reference on the server process for every lock; the module's own
    // count follows the locks taken through it.
    LONG Lock() override
    {
        ::InterlockedIncrement(&this->m_nLockCnt);
        return static_cast<LONG>(::CoAddRefServerProcess());
    }

    // When the last server reference goes: with delayed shutdown, note the
    // activity and signal the shutdown event; otherwise end the main thread's
    // message loop.
    LONG Unlock() override
    {
        ::InterlockedDecrement(&this->m_nLockCnt);
        const LONG count = static_cast<LONG>(::CoReleaseServerProcess());
        if (count == 0)
        {
            if (m_bDelayShutdown)
            {
                m_bActivity = true;
                if (m_hEventShutdown != nullptr)
                    ::SetEvent(m_hEventShutdown);
            }
            else
            {
                ::PostThreadMessageW(m_dwMainThreadID, WM_QUIT, 0, 0);
            }
        }
        return count;
    }

    static HRESULT InitializeCom() { return ::CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void UninitializeCom() { ::CoUninitialize(); }

    // The program's life: -1 when the module could not start; COM
    // initialised (a clash with an apartment that the .NET runtime, loaded
    // as "Mscoree.dll", already chose is tolerated, and COM is then left as
    // it was); the registration scan over the process command line; T::Run
    // when it finds nothing; COM uninitialised when it was initialised here.
    int WinMain(int nShowCmd)
    {
        if (CAtlModule::m_bInitFailed)
            return -1;
        T* pT = static_cast<T*>(this);
        HRESULT hr = T::InitializeCom();
        if (FAILED(hr))
        {
            if (hr != RPC_E_CHANGED_MODE || ::GetModuleHandleW(L"Mscoree.dll") == nullptr)
                return hr;
        }
        else
        {
            m_bComInitialized = true;
        }

        hr = S_OK;
        if (pT->ParseCommandLine(::GetCommandLineW(), &hr))
            hr = pT->Run(nShowCmd);

        if (m_bComInitialized)
        {
            T::UninitializeCom();
            m_bComInitialized = false;
        }
        return hr;
    }

    // The registration scan. True ("go on") when the command line holds no
    // registration word; otherwise handles the first one and answers false
    // with its result in *pnRetCode. Quoting plays no part: the words are
    // found anywhere after a "-" or "/".
    bool ParseCommandLine(LPCWSTR lpCmdLine, HRESULT* pnRetCode)
    {
        HRESULT ignored = S_OK;
        if (pnRetCode == nullptr)
            pnRetCode = &ignored;
        *pnRetCode = S_OK;
        if (lpCmdLine == nullptr)
            return true;
        T* pT = static_cast<T*>(this);
        for (LPCWSTR token = atl_detail::FindNextToken(lpCmdLine); token != nullptr;
             token = atl_detail::FindNextToken(token))
        {
            if (atl_detail::TokenIsWord(token, L"UnregServer"))
            {
                *pnRetCode = pT->_Unregister();
                return false;
            }
            if (atl_detail::TokenIsWord(token, L"RegServer"))
            {
                *pnRetCode = pT->_Register();
                return false;
            }
            if (atl_detail::TokenIsWord(token, L"UnregServerPerUser"))
            {
                AtlSetPerUserRegistration(true);
                *pnRetCode = pT->_Unregister();
                return false;
            }
            if (atl_detail::TokenIsWord(token, L"RegServerPerUser"))
            {
                AtlSetPerUserRegistration(true);
                *pnRetCode = pT->_Register();
                return false;
            }
        }
        return true;
    }

    HRESULT _Register()
    {
        T* pT = static_cast<T*>(this);
        HRESULT hr = pT->RegisterAppId();
        if (SUCCEEDED(hr))
            hr = pT->RegisterServer(TRUE);
        return hr;
    }

    HRESULT _Unregister()
    {
        T* pT = static_cast<T*>(this);
        HRESULT hr = pT->UnregisterAppId();
        if (SUCCEEDED(hr))
            hr = pT->UnregisterServer(TRUE);
        return hr;
    }

    DWORD m_dwMainThreadID;  // the thread that constructed the module
    HANDLE m_hEventShutdown; // never created by the agent's programs
    DWORD m_dwTimeOut;       // milliseconds
    DWORD m_dwPause;         // milliseconds
    bool m_bDelayShutdown;   // Unlock signals the event rather than ending the loop
    bool m_bActivity;        // set by Unlock
    bool m_bComInitialized;  // set by WinMain when COM initialisation succeeded
};
