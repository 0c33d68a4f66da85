// Child program of the entry-point suite: resolves one export of an agent
// library with the launcher's own resolver, from wherever the probe was
// copied to (so the suite controls "the launcher's directory"), optionally
// calls it the way the launcher does, and writes what happened to a file.
//
//   entry_points_probe.exe <result file> shex|bho <export> <mode> [arguments]
//
// mode: resolve      resolve only, no COM, no call
//       none         call without initialising COM
//       ole          OleInitialize on the main thread, call there
//       mta          CoInitializeEx(COINIT_MULTITHREADED), call
//       sta-thread   OleInitialize on the main thread, then call from a second
//                    thread that entered its own single-threaded apartment
// arguments: ShowEBH <location>; ShowWB <address> <flag 0|1>;
//            QzToolExec <tool> <show> <count> [entries...] (the vector handed
//            over is this program's own C runtime argv from the first entry
//            on, ended by the runtime's null); CallCGCOFU none.
//
// Result file, one UTF-8 "key=value" per line: proc (1 resolved), handle
// (1 non-null), module (file of the handle), procmodule (file of the module
// holding the export), heldafterfailure (1: a handle returned with a null
// export was still a loaded module), freed (1: FreeLibrary released the
// library), hr (0x%08X of the call), trace (one per captured trace line).
// Exit code 0, or 2 for a usage error.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"
#include "testing/harness/harness.h"

#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::wstring ModuleFile(HMODULE module)
{
    std::wstring path(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

std::wstring ModuleFileOfAddress(FARPROC proc)
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(proc), &module))
        return std::wstring();
    return ModuleFile(module);
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

struct Call
{
    std::wstring exportName;
    FARPROC proc = nullptr;
    wchar_t** args = nullptr; // the arguments after the mode
    int argCount = 0;
    HRESULT hr = E_NOTIMPL;
    bool valid = false;
};

// Calls the export with the arguments of the command line, as the launcher's
// dispatch would.
void Invoke(Call& call)
{
    using M = CqzElevateModule;
    if (call.exportName == L"CallCGCOFU" && call.argCount == 0)
    {
        call.hr = M::ExportAs<M::PFN_CallCGCOFU>(call.proc)();
        call.valid = true;
    }
    else if (call.exportName == L"ShowEBH" && call.argCount == 1)
    {
        call.hr = M::ExportAs<M::PFN_ShowEBH>(call.proc)(call.args[0]);
        call.valid = true;
    }
    else if (call.exportName == L"ShowWB" && call.argCount == 2)
    {
        call.hr = M::ExportAs<M::PFN_ShowWB>(call.proc)(call.args[0], std::wcstol(call.args[1], nullptr, 10) != 0);
        call.valid = true;
    }
    else if (call.exportName == L"QzToolExec" && call.argCount >= 3)
    {
        call.hr = M::ExportAs<M::PFN_QzToolExec>(call.proc)(call.args[0], std::wcstol(call.args[1], nullptr, 10),
                                                            std::wcstol(call.args[2], nullptr, 10), call.args + 3);
        call.valid = true;
    }
}

DWORD WINAPI StaThread(void* parameter)
{
    Call& call = *static_cast<Call*>(parameter);
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Invoke(call);
    if (SUCCEEDED(init))
        ::CoUninitialize();
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5)
        return 2;
    const std::wstring resultPath = argv[1];
    const std::wstring library = argv[2];
    const std::string exportName = qztest::ToUtf8(argv[3]);
    const std::wstring mode = argv[4];
    if (library != L"shex" && library != L"bho")
        return 2;

    std::vector<std::string> out;
    HMODULE handle = nullptr;
    FARPROC proc = nullptr;
    qztest::TraceEntries traceEntries;
    {
        qztest::TraceCapture capture;
        proc = library == L"shex"
                   ? CqzElevateModule::_GetQzShexProc(CqzElevateModule::QzShexDll{}, exportName.c_str(), &handle)
                   : CqzElevateModule::_GetQzShexProc(CqzElevateModule::QzBhoDll{}, exportName.c_str(), &handle);
        traceEntries = capture.Entries();
    }
    out.push_back(std::string("proc=") + (proc ? "1" : "0"));
    out.push_back(std::string("handle=") + (handle ? "1" : "0"));
    std::wstring modulePath;
    if (handle)
    {
        modulePath = ModuleFile(handle);
        out.push_back("module=" + qztest::ToUtf8(modulePath));
    }
    if (proc)
        out.push_back("procmodule=" + qztest::ToUtf8(ModuleFileOfAddress(proc)));
    if (handle && !proc)
        out.push_back(std::string("heldafterfailure=") +
                      (::GetModuleHandleW(modulePath.c_str()) == handle ? "1" : "0"));

    if (proc && mode != L"resolve")
    {
        Call call;
        call.exportName = argv[3];
        call.proc = proc;
        call.args = argv + 5;
        call.argCount = argc - 5;
        if (mode == L"none")
            Invoke(call);
        else if (mode == L"ole" || mode == L"sta-thread")
        {
            const HRESULT init = ::OleInitialize(nullptr);
            if (mode == L"ole")
                Invoke(call);
            else
            {
                qztest::ScopedHandle thread(::CreateThread(nullptr, 0, StaThread, &call, 0, nullptr));
                if (thread.IsValid())
                    ::WaitForSingleObject(thread.Get(), INFINITE);
            }
            if (SUCCEEDED(init))
                ::OleUninitialize();
        }
        else if (mode == L"mta")
        {
            const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            Invoke(call);
            if (SUCCEEDED(init))
                ::CoUninitialize();
        }
        if (!call.valid)
        {
            if (handle)
                ::FreeLibrary(handle);
            return 2;
        }
        out.push_back("hr=" + Hex(call.hr));
    }

    if (handle)
    {
        ::FreeLibrary(handle);
        out.push_back(std::string("freed=") + (::GetModuleHandleW(modulePath.c_str()) == nullptr ? "1" : "0"));
    }
    // Level, class and text, in the capture's own prefix form.
    for (const qztest::TraceEntry& entry : traceEntries)
    {
        std::ostringstream line;
        line << entry;
        out.push_back("trace=" + line.str());
    }

    std::string text;
    for (const std::string& line : out)
        text += line + "\n";
    return qztest::WriteTextFile(resultPath, text) ? 0 : 2;
}
