// Loading the agent's libraries and resolving the export that serves a switch.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "common/util/util.h"
#include "trace/trace.h"

#include <string>

namespace
{

const char* const kClassName = "CqzElevateModule";

} // namespace

FARPROC CqzElevateModule::_GetQzShexProc(QzShexDll, LPCSTR procName, HMODULE* libraryHandle)
{
    QZ_STACK_NAME("_GetQzShexProc", kClassName);
    return _GetProcAddr(L"qz_shex.dll", procName, libraryHandle);
}

FARPROC CqzElevateModule::_GetQzShexProc(QzBhoDll, LPCSTR procName, HMODULE* libraryHandle)
{
    QZ_STACK_NAME("_GetQzShexProc", kClassName);
    return _GetProcAddr(L"qz_bho.dll", procName, libraryHandle);
}

FARPROC CqzElevateModule::_GetProcAddr(LPCWSTR libraryName, LPCSTR procName, HMODULE* libraryHandle)
{
    QZ_STACK_NAME("_GetProcAddr", kClassName);

    if (libraryHandle == nullptr)
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: _GetProcAddr called without a library handle address.");
        return nullptr;
    }
    *libraryHandle = nullptr;
    if (libraryName == nullptr || *libraryName == L'\0')
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: _GetProcAddr called without a library name.");
        return nullptr;
    }
    // IS_INTRESOURCE covers null as well; an ordinal cannot be named in a trace line.
    if (IS_INTRESOURCE(procName))
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: _GetProcAddr(" << libraryName << ") called without an export name.");
        return nullptr;
    }

    std::wstring path;
    HMODULE library = nullptr;
    // An empty directory would turn the path into one relative to the
    // current drive's root: treat it as no directory.
    if (CqzUtil::GetModuleDir(path) && !path.empty())
    {
        path += L"\\";
        path += libraryName;
        library = ::LoadLibraryW(path.c_str());
    }
    else
    {
        // We run with an administrator's token: the plain search would also
        // look in the current directory and along PATH, where anyone may have
        // left a library of this name. Our own directory is the only place
        // the agent installs it. The flags govern the library's own imports
        // too, so System32 is searched as well: without it a system DLL that
        // is not loaded yet (and not a known DLL) would fail the load.
        // Systems without the search flags refuse the call with
        // ERROR_INVALID_PARAMETER, which fails closed.
        path = libraryName;
        library =
            ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    *libraryHandle = library;
    if (library == nullptr)
    {
        const DWORD error = ::GetLastError();
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: LoadLibrary(" << path << ") failed. LastError=" << static_cast<unsigned long>(error));
        return nullptr;
    }

    FARPROC proc = ::GetProcAddress(library, procName);
    if (proc == nullptr)
    {
        const DWORD error = ::GetLastError();
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: GetProcAddress(" << procName << ") from [" << path
                                         << "] failed. LastError=" << static_cast<unsigned long>(error));
        return nullptr;
    }
    return proc;
}
