#include "common/atl/exe_module.h"

#include <oleauto.h>

#include <new>

extern "C" IMAGE_DOS_HEADER __ImageBase;

bool CAtlModule::m_bInitFailed = false;
CAtlModule* _pAtlModule = nullptr;

namespace
{

bool g_perUserRegistration = false;

// The standard global interface table (class and interface identifiers of
// the system's implementation).
const CLSID kClsidStdGlobalInterfaceTable = {
    0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidIGlobalInterfaceTable = {0x00000146, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Releases an interface on scope exit.
template <class I>
class ComPtr
{
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (p)
            p->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    I* p = nullptr;
};

// Frees a BSTR on scope exit.
class ScopedBstr
{
public:
    ScopedBstr() = default;
    ~ScopedBstr() { ::SysFreeString(b); }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    BSTR b = nullptr;
};

// The upper-case form of one character, as CharUpperW gives it for a single
// character passed in the low word.
wchar_t UpperChar(wchar_t c)
{
    return static_cast<wchar_t>(reinterpret_cast<UINT_PTR>(
        ::CharUpperW(reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(static_cast<unsigned short>(c))))));
}

bool IsTokenEnd(wchar_t c)
{
    return c == L'\0' || c == L' ' || c == L'\t';
}

typedef HRESULT(WINAPI* PFN_RegisterTypeLibForUser)(ITypeLib* typeLib, OLECHAR* fullPath, OLECHAR* helpDir);
typedef HRESULT(WINAPI* PFN_UnRegisterTypeLibForUser)(REFGUID libId, WORD majorVersion, WORD minorVersion, LCID lcid,
                                                      SYSKIND sysKind);

// The per-user form of a type-library function, when the registration is per
// user and the already loaded OLEAUT32.DLL exports it; otherwise null.
FARPROC PerUserTypeLibFunction(const char* name)
{
    if (!AtlGetPerUserRegistration())
        return nullptr;
    HMODULE oleaut = ::GetModuleHandleW(L"OLEAUT32.DLL");
    return oleaut ? ::GetProcAddress(oleaut, name) : nullptr;
}

template <typename Pointer>
Pointer FunctionAs(FARPROC proc)
{
    return reinterpret_cast<Pointer>(reinterpret_cast<void (*)()>(proc));
}

} // namespace

// ---------------------------------------------------------------------------
HRESULT CComCriticalSection::Init()
{
    if (::InitializeCriticalSectionEx(&m_sec, 0, 0))
        return S_OK;
    // A failure that leaves no error code is still a failure: the section
    // does not exist and must never be entered or deleted.
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

HRESULT CComCriticalSection::Term()
{
    ::DeleteCriticalSection(&m_sec);
    return S_OK;
}

// ---------------------------------------------------------------------------
CAtlModule::CAtlModule() : m_pGIT(nullptr)
{
    cbSize = 0;
    m_nLockCnt = 0;
    m_pTermFuncs = nullptr;
    if (FAILED(m_csStaticDataInitAndTypeInfo.Init()))
    {
        m_bInitFailed = true;
        return;
    }
    cbSize = sizeof(_ATL_MODULE70);
    _pAtlModule = this;
}

CAtlModule::~CAtlModule()
{
    Term();
    if (_pAtlModule == this)
        _pAtlModule = nullptr;
}

LONG CAtlModule::Lock()
{
    return ::InterlockedIncrement(&m_nLockCnt);
}

LONG CAtlModule::Unlock()
{
    return ::InterlockedDecrement(&m_nLockCnt);
}

LONG CAtlModule::GetLockCount()
{
    return m_nLockCnt;
}

HRESULT CAtlModule::GetGITPtr(IGlobalInterfaceTable** ppGIT)
{
    if (ppGIT == nullptr)
        return E_POINTER;
    *ppGIT = nullptr;
    if (cbSize == 0)
        return E_UNEXPECTED;

    HRESULT hr = S_OK;
    m_csStaticDataInitAndTypeInfo.Lock();
    if (m_pGIT == nullptr)
        hr = ::CoCreateInstance(kClsidStdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, kIidIGlobalInterfaceTable,
                                reinterpret_cast<void**>(&m_pGIT));
    if (SUCCEEDED(hr))
    {
        *ppGIT = m_pGIT;
        m_pGIT->AddRef();
    }
    m_csStaticDataInitAndTypeInfo.Unlock();
    return hr;
}

HRESULT CAtlModule::AddTermFunc(_ATL_TERMFUNC pFunc, DWORD_PTR dw)
{
    if (cbSize == 0)
        return E_UNEXPECTED;
    _ATL_TERMFUNC_ELEM* element = new (std::nothrow) _ATL_TERMFUNC_ELEM;
    if (element == nullptr)
        return E_OUTOFMEMORY;
    element->pFunc = pFunc;
    element->dw = dw;
    m_csStaticDataInitAndTypeInfo.Lock();
    element->pNext = m_pTermFuncs;
    m_pTermFuncs = element;
    m_csStaticDataInitAndTypeInfo.Unlock();
    return S_OK;
}

void CAtlModule::Term()
{
    if (cbSize == 0)
        return;
    while (m_pTermFuncs != nullptr)
    {
        _ATL_TERMFUNC_ELEM* element = m_pTermFuncs;
        m_pTermFuncs = element->pNext;
        if (element->pFunc)
            element->pFunc(element->dw);
        delete element;
    }
    if (m_pGIT != nullptr)
    {
        m_pGIT->Release();
        m_pGIT = nullptr;
    }
    m_csStaticDataInitAndTypeInfo.Term();
    cbSize = 0;
}

bool AtlGetPerUserRegistration()
{
    return g_perUserRegistration;
}

void AtlSetPerUserRegistration(bool perUser)
{
    g_perUserRegistration = perUser;
}

// ---------------------------------------------------------------------------
namespace atl_detail
{

LPCWSTR FindNextToken(LPCWSTR p)
{
    while (p != nullptr && *p != L'\0')
    {
        const wchar_t c = *p;
        p = ::CharNextW(p);
        if (c == L'-' || c == L'/')
            return p;
    }
    return nullptr;
}

bool TokenIsWord(LPCWSTR token, LPCWSTR word)
{
    if (token == nullptr || word == nullptr)
        return false;
    size_t i = 0;
    for (; word[i] != L'\0'; ++i)
    {
        // The token's terminator never equals a letter of the word.
        if (UpperChar(token[i]) != UpperChar(word[i]))
            return false;
    }
    return IsTokenEnd(token[i]);
}

HRESULT TypeLibPathBeside(const std::wstring& modulePath, std::wstring& tlbPath)
{
    const size_t slash = modulePath.find_last_of(L'\\');
    const size_t dot = modulePath.find_last_of(L'.');
    const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
    std::wstring path = hasExtension ? modulePath.substr(0, dot) : modulePath;
    path += L".tlb";
    if (path.size() >= MAX_PATH)
        return E_FAIL;
    tlbPath = path;
    return S_OK;
}

HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** ppTypeLib, std::wstring& path)
{
    if (ppTypeLib == nullptr)
        return E_POINTER;
    *ppTypeLib = nullptr;

    wchar_t modulePath[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(module, modulePath, MAX_PATH);
    if (length == 0)
    {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    if (length == MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

    HRESULT hr = ::LoadTypeLib(modulePath, ppTypeLib);
    if (SUCCEEDED(hr))
    {
        path = modulePath;
        return hr;
    }
    std::wstring tlbPath;
    if (FAILED(TypeLibPathBeside(modulePath, tlbPath)))
        return E_FAIL;
    hr = ::LoadTypeLib(tlbPath.c_str(), ppTypeLib);
    if (SUCCEEDED(hr))
        path = tlbPath;
    return hr;
}

HRESULT RegisterModuleTypeLib(HINSTANCE module)
{
    ComPtr<ITypeLib> typeLib;
    std::wstring path;
    HRESULT hr = LoadModuleTypeLib(module, &typeLib.p, path);
    if (FAILED(hr))
        return hr;

    // The help directory is that of the library's help file, if it names one.
    ScopedBstr helpFile;
    std::wstring helpDir;
    if (SUCCEEDED(typeLib.p->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile.b)) && helpFile.b != nullptr)
    {
        helpDir = helpFile.b;
        const size_t slash = helpDir.find_last_of(L'\\');
        helpDir.resize(slash == std::wstring::npos ? 0 : slash);
    }
    OLECHAR* helpDirArg = helpDir.empty() ? nullptr : &helpDir[0];

    if (FARPROC perUser = PerUserTypeLibFunction("RegisterTypeLibForUser"))
        return FunctionAs<PFN_RegisterTypeLibForUser>(perUser)(typeLib.p, &path[0], helpDirArg);
    return ::RegisterTypeLib(typeLib.p, &path[0], helpDirArg);
}

HRESULT UnRegisterModuleTypeLib(HINSTANCE module)
{
    ComPtr<ITypeLib> typeLib;
    std::wstring path;
    HRESULT hr = LoadModuleTypeLib(module, &typeLib.p, path);
    if (FAILED(hr))
        return hr;

    TLIBATTR* attributes = nullptr;
    hr = typeLib.p->GetLibAttr(&attributes);
    if (FAILED(hr))
        return hr;
    if (FARPROC perUser = PerUserTypeLibFunction("UnRegisterTypeLibForUser"))
        hr = FunctionAs<PFN_UnRegisterTypeLibForUser>(perUser)(attributes->guid, attributes->wMajorVerNum,
                                                               attributes->wMinorVerNum, attributes->lcid,
                                                               attributes->syskind);
    else
        hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                                 attributes->syskind);
    typeLib.p->ReleaseTLibAttr(attributes);
    return hr;
}

HINSTANCE ThisModule()
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

} // namespace atl_detail
