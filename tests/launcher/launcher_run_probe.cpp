// Runs the launcher's dispatch (CqzElevateModule::Run) on its own command
// line, as the launcher does after OLE initialisation, and then reports
// whether either agent library is still loaded: the dispatch must have freed
// the library on every path by the time it returns.
//
// Copied into an agent installation beside the stand-in libraries; writes
// one line to "run_probe.result" beside itself:
//   hr=0xHHHHHHHH shex=<0|1> bho=<0|1> before=<0|1>
// where before tells whether either library was loaded before Run.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include <cstdio>
#include <string>

namespace
{

std::wstring BesideMe(const wchar_t* name)
{
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

bool Loaded(const wchar_t* name)
{
    return ::GetModuleHandleW(name) != nullptr;
}

} // namespace

int wmain()
{
    const bool before = Loaded(L"qz_shex.dll") || Loaded(L"qz_bho.dll");
    HRESULT hr = E_UNEXPECTED;
    {
        CqzElevateModule module;
        const HRESULT ole = ::OleInitialize(nullptr);
        hr = module.Run(SW_SHOWNORMAL);
        if (SUCCEEDED(ole))
            ::OleUninitialize();
    }
    char line[96];
    std::snprintf(line, sizeof(line), "hr=0x%08lX shex=%d bho=%d before=%d\n", static_cast<unsigned long>(hr),
                  Loaded(L"qz_shex.dll") ? 1 : 0, Loaded(L"qz_bho.dll") ? 1 : 0, before ? 1 : 0);
    FILE* file = _wfopen(BesideMe(L"run_probe.result").c_str(), L"wb");
    if (!file)
        return 2;
    std::fputs(line, file);
    std::fclose(file);
    return 0;
}
