// The launcher's module: the one object that carries the process from static
// initialisation to exit.
#pragma once

#include <windows.h>

#include <ole2.h>

#include "common/atl/exe_module.h"
#include "common/util/exports.h"

// The program is an out-of-process COM server module that serves no classes:
// the framework gives it its life cycle (OLE, the registration words, Run),
// and Run is the command dispatch.
class CqzElevateModule : public CAtlExeModuleT<CqzElevateModule>
{
public:
    // The dispatch: recognises one of "/axinst", "/explore", "/qztoolexec"
    // and "/navigate" on the process command line, moves tracing to that
    // command's file, checks the operand and (except for "/axinst") the
    // rights, calls the agent library's export that serves the switch and
    // returns its result. E_INVALIDARG for a missing or unknown switch or a
    // missing operand, 5 when the rights check refuses, E_FAIL when the
    // export cannot be had. nShowCmd goes to QzToolExec only.
    HRESULT Run(int nShowCmd);

    // OLE services in a single-threaded apartment rather than the
    // framework's multithreaded COM.
    static HRESULT InitializeCom() { return ::OleInitialize(nullptr); }
    static void UninitializeCom() { ::OleUninitialize(); }

    // Moves tracing to the trace file of one command ("activex", "ebh",
    // "qztool", "wbh") and records the process command line there.
    void SetCommandTraceFile(const wchar_t* commandWord);

    // --- agent library entry points ---
    // The agent's libraries, qz_shex.dll and qz_bho.dll, are loaded from the
    // launcher's own directory and serve one export per switch. Their
    // signatures (all WINAPI, all HRESULT; a negative result is a failure):
    typedef HRESULT(WINAPI* PFN_CallCGCOFU)();
    typedef HRESULT(WINAPI* PFN_ShowEBH)(LPCWSTR location);
    // argumentCount is the total count of the launcher's split command line
    // (program path included); argumentsAfterTool is the C runtime's own wide
    // argument vector from its fourth entry on, ended by its null entry.
    typedef HRESULT(WINAPI* PFN_QzToolExec)(LPCWSTR tool, int showWindow, int argumentCount,
                                            LPWSTR* argumentsAfterTool);
    typedef HRESULT(WINAPI* PFN_ShowWB)(LPCWSTR address, bool autoElevate);

    // Library selectors of the two _GetQzShexProc overloads: the library is
    // part of the call's type, so a caller cannot pass a misspelt file name.
    struct QzShexDll
    {
    };
    struct QzBhoDll
    {
    };

    // Loads qz_shex.dll / qz_bho.dll from the launcher's directory and resolves
    // procName in it (see _GetProcAddr).
    static FARPROC _GetQzShexProc(QzShexDll, LPCSTR procName, HMODULE* libraryHandle);
    static FARPROC _GetQzShexProc(QzBhoDll, LPCSTR procName, HMODULE* libraryHandle);

    // Loads libraryName from the launcher's directory, stores the module handle
    // (null when the load failed) in *libraryHandle and returns the address of
    // the export procName, or null with the failure traced. A library that was
    // loaded but lacks the export stays loaded: whatever *libraryHandle holds
    // is the caller's to FreeLibrary. When the launcher's directory cannot be
    // had, the bare name is searched for in the application directory and
    // System32 only (which serve the library's own imports as well), never in
    // the current directory or along PATH. Null arguments (or an ordinal as
    // procName) are refused with a trace line, nothing loaded and a null
    // handle stored when the handle address is usable.
    static FARPROC _GetProcAddr(LPCWSTR libraryName, LPCSTR procName, HMODULE* libraryHandle);

    // A resolved export as its typed pointer, e.g.
    //   auto showEBH = ExportAs<PFN_ShowEBH>(_GetQzShexProc(QzShexDll{}, "ShowEBH", &library));
    // Goes through the generic function pointer type, which compilers accept
    // without a function-type-cast warning.
    template <typename ExportPointer>
    static ExportPointer ExportAs(FARPROC proc)
    {
        return CqzExportAs<ExportPointer>(proc);
    }

private:
    friend class CqzElevateModulePeer; // suites ask the two questions directly

    // --- rights check: both fail closed ---
    // Whether the machine policy value "QzElevateAllowNonAdmin" (REG_DWORD,
    // non-zero) under the agent's parameters key allows non-administrators.
    // Read afresh at every call.
    bool _AllowNonAdmin();
    // Whether the process token is that of a fully elevated administrator.
    bool _IsUserAdmin();

    // QzToolExec's vector: the C runtime's own wide argument vector (argv,
    // argc entries and a null terminator) from its fourth entry on. The
    // runtime reads argument 0 differently from the launcher's split and may
    // count fewer arguments; a vector with fewer than four entries yields the
    // position of its terminator, never one past it. A null argv yields an
    // empty vector.
    static LPWSTR* _ArgumentsAfterTool(LPWSTR* argv, int argc);
};

// The architecture word of the trace file names: the bitness this launcher was
// built for ("x32" as shipped, "x64" in the 64-bit build).
#ifdef _WIN64
#define QZ_ELEVATE_ARCH_WORD "x64"
#else
#define QZ_ELEVATE_ARCH_WORD "x32"
#endif

// Names the start-up trace file (a bare file name) and configures tracing from
// the configuration file or the built-in defaults.
void InitTrace(const char* traceFileName);
