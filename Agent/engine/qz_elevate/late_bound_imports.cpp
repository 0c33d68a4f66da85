// Functions of netapi32.dll, userenv.dll and oleaut32.dll that the shared
// library's code calls, bound at their first call instead of at process start.
// No step of a launcher run uses the account and profile functions, and the
// type-library functions serve the registration words only; imported, each
// DLL (netapi32 with the network DLLs it loads in turn) costs every run its
// load and initialisation.
//
// Linked into the executable only, ahead of the static libraries: the
// definitions below take the place of the import libraries' entries, so the
// executable does not import these DLLs. A call loads the DLL from System32,
// resolves the function there and calls it; when that fails it answers as the
// function does for a failure, with the loader's Win32 error. A function of
// these DLLs that is not listed here is imported as usual.
//
// mingw-w64's delay-load libraries cannot serve here: their x86 thunks call a
// null address. MSVC builds would use /DELAYLOAD for the same DLLs instead.
#if defined(__GNUC__)

#include <windows.h>

#include <lm.h>
#include <oleauto.h>
#include <userenv.h>

#include "common/util/exports.h"
#include "common/util/scoped.h"

namespace
{

// A System32 DLL, loaded at first use and held until the process exits, as an
// import would be.
HMODULE SystemLibrary(const wchar_t* name)
{
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE Netapi32()
{
    static CqzScopedLibrary library(SystemLibrary(L"netapi32.dll"));
    return library.Get();
}

HMODULE Userenv()
{
    static CqzScopedLibrary library(SystemLibrary(L"userenv.dll"));
    return library.Get();
}

HMODULE Oleaut32()
{
    static CqzScopedLibrary library(SystemLibrary(L"oleaut32.dll"));
    return library.Get();
}

// The export, or null with the Win32 error of the failed step kept.
template <typename Function>
Function Resolve(HMODULE module, const char* name)
{
    if (module == nullptr)
        return nullptr;
    return CqzResolveExport<Function>(module, name);
}

DWORD FailureError()
{
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND;
}

typedef NET_API_STATUS(NET_API_FUNCTION* NetLocalGroupMembersFn)(LPCWSTR server, LPCWSTR group, DWORD level,
                                                                 LPBYTE members, DWORD count);
typedef BOOL(WINAPI* LoadUserProfileWFn)(HANDLE token, LPPROFILEINFOW profile);
typedef BOOL(WINAPI* UnloadUserProfileFn)(HANDLE token, HANDLE profile);
typedef HRESULT(WINAPI* LoadTypeLibFn)(LPCOLESTR file, ITypeLib** typeLib);
typedef HRESULT(WINAPI* RegisterTypeLibFn)(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir);
typedef HRESULT(WINAPI* UnRegisterTypeLibFn)(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND kind);
typedef void(WINAPI* SysFreeStringFn)(BSTR text);

NET_API_STATUS CallNetLocalGroupMembers(bool add, LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE members,
                                        DWORD count)
{
    static const NetLocalGroupMembersFn addMembers =
        Resolve<NetLocalGroupMembersFn>(Netapi32(), "NetLocalGroupAddMembers");
    static const NetLocalGroupMembersFn delMembers =
        Resolve<NetLocalGroupMembersFn>(Netapi32(), "NetLocalGroupDelMembers");
    const NetLocalGroupMembersFn function = add ? addMembers : delMembers;
    if (function == nullptr)
        return FailureError();
    return function(server, group, level, members, count);
}

BOOL WINAPI LateLoadUserProfileW(HANDLE token, LPPROFILEINFOW profile)
{
    static const LoadUserProfileWFn function = Resolve<LoadUserProfileWFn>(Userenv(), "LoadUserProfileW");
    if (function == nullptr)
    {
        ::SetLastError(FailureError());
        return FALSE;
    }
    return function(token, profile);
}

BOOL WINAPI LateUnloadUserProfile(HANDLE token, HANDLE profile)
{
    static const UnloadUserProfileFn function = Resolve<UnloadUserProfileFn>(Userenv(), "UnloadUserProfile");
    if (function == nullptr)
    {
        ::SetLastError(FailureError());
        return FALSE;
    }
    return function(token, profile);
}

HRESULT WINAPI LateLoadTypeLib(LPCOLESTR file, ITypeLib** typeLib)
{
    static const LoadTypeLibFn function = Resolve<LoadTypeLibFn>(Oleaut32(), "LoadTypeLib");
    if (function == nullptr)
    {
        if (typeLib != nullptr)
            *typeLib = nullptr;
        return HRESULT_FROM_WIN32(FailureError());
    }
    return function(file, typeLib);
}

HRESULT WINAPI LateRegisterTypeLib(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir)
{
    static const RegisterTypeLibFn function = Resolve<RegisterTypeLibFn>(Oleaut32(), "RegisterTypeLib");
    if (function == nullptr)
        return HRESULT_FROM_WIN32(FailureError());
    return function(typeLib, fullPath, helpDir);
}

HRESULT WINAPI LateUnRegisterTypeLib(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND kind)
{
    static const UnRegisterTypeLibFn function = Resolve<UnRegisterTypeLibFn>(Oleaut32(), "UnRegisterTypeLib");
    if (function == nullptr)
        return HRESULT_FROM_WIN32(FailureError());
    return function(libId, major, minor, lcid, kind);
}

// A string can only have come from oleaut32, which is then loaded already.
void WINAPI LateSysFreeString(BSTR text)
{
    static const SysFreeStringFn function = Resolve<SysFreeStringFn>(Oleaut32(), "SysFreeString");
    if (function != nullptr)
        function(text);
}

} // namespace

// The netapi32 functions are declared without dllimport: callers call them by
// their own names, which these definitions take.
extern "C" NET_API_STATUS NET_API_FUNCTION NetLocalGroupAddMembers(LPCWSTR server, LPCWSTR group, DWORD level,
                                                                   LPBYTE members, DWORD count)
{
    return CallNetLocalGroupMembers(true, server, group, level, members, count);
}

extern "C" NET_API_STATUS NET_API_FUNCTION NetLocalGroupDelMembers(LPCWSTR server, LPCWSTR group, DWORD level,
                                                                   LPBYTE members, DWORD count)
{
    return CallNetLocalGroupMembers(false, server, group, level, members, count);
}

// The others are declared dllimport: callers call through the import slot,
// a pointer named __imp_ plus the function's linker name, defined here.
#ifdef _WIN64
#define QZ_IMPORT_SLOT(name, argumentBytes) "__imp_" #name
#else
#define QZ_IMPORT_SLOT(name, argumentBytes) "__imp__" #name "@" #argumentBytes
#endif

extern "C"
{
    LoadUserProfileWFn qzSlotLoadUserProfileW __asm__(QZ_IMPORT_SLOT(LoadUserProfileW, 8)) = &LateLoadUserProfileW;
    UnloadUserProfileFn qzSlotUnloadUserProfile __asm__(QZ_IMPORT_SLOT(UnloadUserProfile, 8)) = &LateUnloadUserProfile;
    LoadTypeLibFn qzSlotLoadTypeLib __asm__(QZ_IMPORT_SLOT(LoadTypeLib, 8)) = &LateLoadTypeLib;
    RegisterTypeLibFn qzSlotRegisterTypeLib __asm__(QZ_IMPORT_SLOT(RegisterTypeLib, 12)) = &LateRegisterTypeLib;
    UnRegisterTypeLibFn qzSlotUnRegisterTypeLib __asm__(QZ_IMPORT_SLOT(UnRegisterTypeLib, 20)) = &LateUnRegisterTypeLib;
    SysFreeStringFn qzSlotSysFreeString __asm__(QZ_IMPORT_SLOT(SysFreeString, 4)) = &LateSysFreeString;
}

#endif // __GNUC__
