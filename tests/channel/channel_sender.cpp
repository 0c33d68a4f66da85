// Second process of the channel suites: a sender of its own.
//   qz_channel_sender notify
//       sends the launcher's exit notification; exit code 0
//   qz_channel_sender load <process> <threads> <records per thread> <go event>
//       waits for the named manual-reset event, then each thread sends its
//       records (tag "p<process>t<thread>n<record>"); exit code: failed sends
//       (1000: the Wine seam could not be installed)
// QZ_SENDER_TRACE, when set, names a trace file for the sends' error lines.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Agent/engine/qz_elevate/qz_elevate_cmd_client.h"
#include "common/cust_cmd/cust_cmd.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/wine_scm_serializer.h"
#include "trace/qztrace.h"

namespace
{

// Block sizes vary with the record so that records of different lengths meet.
DWORD LoadBlockSize(unsigned process, unsigned thread, unsigned record)
{
    return (process * 977 + thread * 131 + record * 37) % 2048;
}

int Load(unsigned process, unsigned threads, unsigned perThread, const wchar_t* goEvent)
{
    if (!qzchan::SerializeWineServiceManagerCalls())
        return 1000;
    HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, goEvent);
    if (go)
    {
        ::WaitForSingleObject(go, 60000);
        ::CloseHandle(go);
    }
    std::vector<unsigned> failures(threads, 0);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
    {
        workers.emplace_back(
            [=, &failures]
            {
                for (unsigned n = 0; n < perThread; ++n)
                {
                    const std::wstring tag =
                        L"p" + std::to_wstring(process) + L"t" + std::to_wstring(t) + L"n" + std::to_wstring(n);
                    const std::vector<BYTE> payload = qztest::BuildLoadPayload(tag, LoadBlockSize(process, t, n));
                    if (!CqzCustCmdClient::SendData(qzagent::kCmdLoad, static_cast<DWORD>(payload.size()),
                                                    payload.data()))
                        ++failures[t];
                }
            });
    }
    unsigned failed = 0;
    for (unsigned t = 0; t < threads; ++t)
    {
        workers[t].join();
        failed += failures[t];
    }
    return static_cast<int>(failed);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    wchar_t tracePath[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"QZ_SENDER_TRACE", tracePath, MAX_PATH) > 0)
    {
        char utf8[MAX_PATH * 3] = {};
        ::WideCharToMultiByte(CP_UTF8, 0, tracePath, -1, utf8, sizeof(utf8), nullptr, nullptr);
        D_C_Support_SetD_File(utf8, 0, 1);
        D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, -1, "");
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", QZT_ERROR, 1);
    }
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"notify")
    {
        CqzQzElevateCmdClient::NotifyProcessExit();
        return 0;
    }
    if (mode == L"load" && argc == 6)
        return Load(static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)),
                    static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)),
                    static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10)), argv[5]);
    return 87;
}
