// Second process of the install-parameter suite: a found install GUID is kept
// for the life of the process, so each search that succeeds runs in a process
// of its own.
//   qz_install_params_probe <out file> once     one GetInstallGuid
//   qz_install_params_probe <out file> twice    one, then delete the
//       UpgradeCodes key, then another
//   qz_install_params_probe <out file> threads  eight threads at once
// The out file holds "guid<N>=<text>" lines, then "trace=<line>" for every
// trace line the process wrote.
#include <windows.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/util/install_params.h"
#include "testing/harness/harness.h"
#include "trace/qztrace.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 87;
    const std::wstring out = argv[1];
    const std::wstring mode = argv[2];

    std::string text;
    qztest::TraceEntries entries;
    {
        qztest::TraceCapture capture;
        // The machine-type query traces every call of its own.
        for (int level : {100, 200, 300, 400, 500, 600})
            D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, "CqzOperatingSystem", level, 0);
        std::vector<std::wstring> guids;
        if (mode == L"threads")
        {
            std::vector<std::wstring> results(8);
            std::vector<std::thread> threads;
            for (size_t i = 0; i < results.size(); ++i)
                threads.emplace_back([&results, i] { results[i] = CqzAgentInstallParams::GetInstallGuid(); });
            for (std::thread& thread : threads)
                thread.join();
            guids = results;
        }
        else
        {
            guids.push_back(CqzAgentInstallParams::GetInstallGuid());
            if (mode == L"twice")
            {
                std::wstring packed;
                CqzGUID::PackString(SqzProductConstants::AgentUpgradeCode, packed);
                qztest::DeleteRegTree(HKEY_CLASSES_ROOT, L"Installer\\UpgradeCodes\\" + packed);
                guids.push_back(CqzAgentInstallParams::GetInstallGuid());
            }
        }
        for (size_t i = 0; i < guids.size(); ++i)
            text += "guid" + std::to_string(i) + "=" + qztest::ToUtf8(guids[i]) + "\n";
        entries = capture.Entries();
    }
    // Level, class and text, in the capture's own prefix form.
    for (const qztest::TraceEntry& entry : entries)
    {
        std::ostringstream line;
        line << entry;
        text += "trace=" + line.str() + "\n";
    }
    return qztest::WriteTextFile(out, text) ? 0 : 1;
}
