// Cost of one command sent through the channel (service opened, mutex taken,
// section created and written, control 130, everything released) against its
// floor: the bare ControlService(130) on a service handle opened once, which
// the stand-in answers with a log line as it does for a record. Also shown:
// what opening and closing the manager and the service costs alone.
//
//   channel_bench [sends]      (default 2000 per case, best of 3 interleaved rounds)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/cust_cmd/cust_cmd.h"
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"

namespace
{

double Seconds()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Seconds one run takes; -1 when the run failed.
template <class Body>
double TimeRun(Body body)
{
    const double start = Seconds();
    return body() ? Seconds() - start : -1;
}

std::vector<BYTE> ExitNotification()
{
    const std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>" +
                              std::to_wstring(::GetCurrentProcessId()) + L"</PID></XML>";
    std::vector<BYTE> payload(CqzCustComdFileMap::_GetSerializedSize(text));
    CqzCustComdFileMap::_Serialize(text, payload.data());
    return payload;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const long sends = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 2000;
    if (sends <= 0)
        return 87;

    qztest::AgentInstall install;
    qztest::AgentService service(install);
    if (!service.Installed() || !service.Start())
    {
        std::printf("stand-in not running: %s failed with %lu\n", service.FailedStep().c_str(),
                    static_cast<unsigned long>(service.Error()));
        return 1;
    }

    const std::vector<BYTE> payload = ExitNotification();
    const DWORD length = static_cast<DWORD>(payload.size());
    for (int i = 0; i < 50; ++i)
        CqzCustCmdClient::SendData(QZ_CIC_NOTIFY_QZELEVATE_EXIT, length, payload.data());

    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE handle = manager ? ::OpenServiceW(manager, L"qz_agent", SERVICE_USER_DEFINED_CONTROL) : nullptr;
    if (!handle)
    {
        std::printf("OpenService failed with %lu\n", static_cast<unsigned long>(::GetLastError()));
        return 1;
    }

    auto floorRun = [&]
    {
        SERVICE_STATUS status = {};
        for (long i = 0; i < sends; ++i)
        {
            if (!::ControlService(handle, QZ_CIC_SERVICE_CONTROL, &status))
                return false;
        }
        return true;
    };
    // The part of a send's cost that is the service manager's alone.
    auto openRun = [&]
    {
        for (long i = 0; i < sends; ++i)
        {
            SC_HANDLE m = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
            SC_HANDLE s = m ? ::OpenServiceW(m, L"qz_agent", SERVICE_USER_DEFINED_CONTROL) : nullptr;
            if (s)
                ::CloseServiceHandle(s);
            if (m)
                ::CloseServiceHandle(m);
            if (!s)
                return false;
        }
        return true;
    };
    auto sendRun = [&]
    {
        for (long i = 0; i < sends; ++i)
        {
            if (!CqzCustCmdClient::SendData(QZ_CIC_NOTIFY_QZELEVATE_EXIT, length, payload.data()))
                return false;
        }
        return true;
    };
    // Rounds interleave the cases, so that a busy moment of the machine
    // weighs on all of them; each case keeps its best round.
    double floorSeconds = 1e30;
    double openSeconds = 1e30;
    double sendSeconds = 1e30;
    for (int round = 0; round < 3; ++round)
    {
        floorSeconds = std::min(floorSeconds, TimeRun(floorRun));
        openSeconds = std::min(openSeconds, TimeRun(openRun));
        sendSeconds = std::min(sendSeconds, TimeRun(sendRun));
    }
    ::CloseServiceHandle(handle);
    ::CloseServiceHandle(manager);
    if (floorSeconds <= 0 || sendSeconds <= 0 || openSeconds <= 0)
    {
        std::printf("a run failed\n");
        return 1;
    }

    const double n = static_cast<double>(sends);
    std::printf("channel_bench: %ld operations per case, best of 3 interleaved rounds\n", sends);
    std::printf("  bare ControlService(130): %8.0f /s  %8.1f us each\n", n / floorSeconds, floorSeconds * 1e6 / n);
    std::printf("  open+close manager/service:%7.0f /s  %8.1f us each\n", n / openSeconds, openSeconds * 1e6 / n);
    std::printf("  SendData (exit record):   %8.0f /s  %8.1f us each\n", n / sendSeconds, sendSeconds * 1e6 / n);
    std::printf("  ratio send / floor:       %8.2f\n", sendSeconds / floorSeconds);
    return 0;
}
