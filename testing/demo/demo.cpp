// Shows the launcher at work: installs it as the agent would (files under the
// agent's directory, the service "ImagePath" naming that directory), runs it
// through a few command lines and prints, for each run, the 32-bit exit code
// and the trace lines the run added.
#include "common/util/util.h"
#include "testing/harness/harness.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace
{

const wchar_t kInstallRoot[] = L"C:\\Program Files\\Dunmoral\\Agent";
const wchar_t kOutsideRoot[] = L"C:\\Users\\Public\\Downloads\\copied";

void Print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

bool Install(const std::wstring& root)
{
    const std::wstring bin = root + L"\\bin";
    bool ok = qztest::CreateDirs(bin) && qztest::CreateDirs(root + L"\\config") && qztest::CreateDirs(root + L"\\trace");
    for (const wchar_t* name :
         {L"qz_elevate.exe", L"qztrace.dll", L"libstdc++-6.dll", L"libgcc_s_dw2-1.dll", L"libwinpthread-1.dll"})
    {
        ok = ::CopyFileW((qztest::BinDir() + L"\\" + name).c_str(), (bin + L"\\" + name).c_str(), FALSE) && ok;
    }
    return ok;
}

// Sizes of every trace file of an installation, to show only what a run adds.
std::map<std::wstring, size_t> TraceSizes(const std::wstring& root)
{
    std::map<std::wstring, size_t> sizes;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((root + L"\\trace\\*.trace").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return sizes;
    do
    {
        sizes[data.cFileName] = qztest::ReadTextFile(root + L"\\trace\\" + data.cFileName).size();
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return sizes;
}

void RunCase(const std::wstring& root, const std::wstring& arguments, const char* what)
{
    const std::wstring exe = root + L"\\bin\\qz_elevate.exe";
    const std::wstring cmdLine = qztest::QuoteArg(exe) + (arguments.empty() ? L"" : L" " + arguments);
    Print("\n=== " + std::string(what) + "\n$ " + qztest::ToUtf8(cmdLine) + "\n");

    const std::map<std::wstring, size_t> before = TraceSizes(root);
    qztest::RunOptions options;
    options.timeoutMs = 60000;
    const qztest::ProcessResult result = qztest::RunProcess(exe, cmdLine, options);
    if (!result.started)
    {
        Print("could not start: error " + std::to_string(result.error) + "\n");
        return;
    }
    char code[96];
    std::snprintf(code, sizeof(code), "exit code: %lu (0x%08lX, as int %ld)\n", result.exitCode, result.exitCode,
                  static_cast<long>(result.exitCode));
    Print(result.finished ? code : "did not finish in time\n");

    for (const auto& file : TraceSizes(root))
    {
        auto old = before.find(file.first);
        const size_t from = old == before.end() ? 0 : old->second;
        if (file.second <= from)
            continue;
        const std::string added = qztest::ReadTextFile(root + L"\\trace\\" + file.first).substr(from);
        Print("--- trace\\" + qztest::ToUtf8(file.first) + "\n" + added);
    }
}

} // namespace

int wmain()
{
    const std::wstring image = std::wstring(L"\"") + kInstallRoot + L"\\bin\\qz_agent.exe\"";
    if (!qztest::SetRegString(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, L"ImagePath", image, REG_EXPAND_SZ))
    {
        Print("cannot write the agent service key\n");
        return 1;
    }
    if (!Install(kInstallRoot) || !Install(kOutsideRoot))
    {
        Print("cannot lay out the installation\n");
        return 1;
    }
    Print("agent service ImagePath: " + qztest::ToUtf8(image) + "\n");
    Print("user checksum (CRC-32 of the user's SID): " + std::to_string(CqzUtil::GetUserSidCrc()) + "\n");

    RunCase(kInstallRoot, L"/explore C:\\users\\Public", "launcher inside the agent's installation");
    RunCase(kOutsideRoot, L"/explore C:\\users\\Public", "a copy outside the agent's installation");
    return 0;
}
