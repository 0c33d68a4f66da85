// Cost of one command sent through the channel (service opened, mutex taken,
// section created and written, control 130, everything released) against its
// floor: what every send must do with the service manager whatever the
// channel adds, the manager and the service opened, ControlService(130), both
// closed. The stand-in answers the bare control with a log line as it does
// for a record. For reference also the older floor, the bare
// ControlService(130) on a service handle opened once, and what opening and
// closing the manager and the service costs alone.
//
//   channel_bench [sends]      (default 2000 per case, best of 3 interleaved rounds)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_env.h"
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

// sends times: the manager and the service opened, ControlService(130) when
// control is set, both closed.
bool OpenAndClose(long sends, bool control)
{
    SERVICE_STATUS status = {};
    for (long i = 0; i < sends; ++i)
    {
        SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? ::OpenServiceW(manager, L"qz_agent", SERVICE_USER_DEFINED_CONTROL) : nullptr;
        const bool ok = service && (!control || ::ControlService(service, QZ_CIC_SERVICE_CONTROL, &status));
        if (service)
            ::CloseServiceHandle(service);
        if (manager)
            ::CloseServiceHandle(manager);
        if (!ok)
            return false;
    }
    return true;
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
    // The send's floor: a send opens and closes the manager and the service
    // each time.
    auto openControlRun = [&] { return OpenAndClose(sends, true); };
    // The part of a send's cost that is the service manager's alone.
    auto openRun = [&] { return OpenAndClose(sends, false); };
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
    double openControlSeconds = 1e30;
    double openSeconds = 1e30;
    double sendSeconds = 1e30;
    for (int round = 0; round < 3; ++round)
    {
        floorSeconds = std::min(floorSeconds, TimeRun(floorRun));
        openControlSeconds = std::min(openControlSeconds, TimeRun(openControlRun));
        openSeconds = std::min(openSeconds, TimeRun(openRun));
        sendSeconds = std::min(sendSeconds, TimeRun(sendRun));
    }
    ::CloseServiceHandle(handle);
    ::CloseServiceHandle(manager);
    if (floorSeconds <= 0 || openControlSeconds <= 0 || sendSeconds <= 0 || openSeconds <= 0)
    {
        std::printf("a run failed\n");
        return 1;
    }

    const double n = static_cast<double>(sends);
    std::printf("channel_bench (%s): %ld operations per case, best of 3 interleaved rounds\n",
                BenchEnvironment().c_str(), sends);
    std::printf("  open + ControlService(130) + close: %8.0f /s  %8.1f us each\n", n / openControlSeconds,
                openControlSeconds * 1e6 / n);
    std::printf("  SendData (exit record):             %8.0f /s  %8.1f us each\n", n / sendSeconds,
                sendSeconds * 1e6 / n);
    std::printf("  bare ControlService(130):           %8.0f /s  %8.1f us each\n", n / floorSeconds,
                floorSeconds * 1e6 / n);
    std::printf("  open + close manager/service:       %8.0f /s  %8.1f us each\n", n / openSeconds,
                openSeconds * 1e6 / n);
    std::printf("send / (open + control + close): %.2f\n", sendSeconds / openControlSeconds);
    std::printf("  reference, send / bare control on a handle opened once: %.2f\n", sendSeconds / floorSeconds);
    return 0;
}
