// Cost of one command sent through the channel (service opened, mutex taken,
// section created and written, control 130, everything released) against its
// floor: what every send must do with the service manager whatever the
// channel adds, the manager and the service opened, ControlService(130), both
// closed. The stand-in answers the bare control with a log line as it does
// for a record. For reference also the older floor, the bare
// ControlService(130) on a service handle opened once, what opening and
// closing the manager and the service costs alone, and the floor with a
// record in the section, which the agent then reads as it does for a send.
//
//   channel_bench [sends]      (default 2000 per case, in 40 interleaved rounds)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_env.h"
#include "common/cust_cmd/cust_cmd.h"
#include "common/sharedmemory/sharedmemory.h"
#include "common/util/scoped.h"
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"

namespace
{

// Rounds of the interleaved cases (fewer when fewer sends are asked for).
const long kRounds = 40;

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

// The manager and the service opened, ControlService(130) when control is
// set, both closed: what a send must do with the service manager.
bool OpenControlClose(bool control)
{
    SERVICE_STATUS status = {};
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? ::OpenServiceW(manager, L"qz_agent", SERVICE_USER_DEFINED_CONTROL) : nullptr;
    const bool ok = service && (!control || ::ControlService(service, QZ_CIC_SERVICE_CONTROL, &status));
    if (service)
        ::CloseServiceHandle(service);
    if (manager)
        ::CloseServiceHandle(manager);
    return ok;
}

bool OpenAndClose(long sends, bool control)
{
    for (long i = 0; i < sends; ++i)
    {
        if (!OpenControlClose(control))
            return false;
    }
    return true;
}

// sends times: the channel section created and the exit record written in it
// (not timed), then the manager and the service opened, ControlService(130)
// and both closed (timed), then the section released. The agent reads a
// record as it does for a send, so the time is the floor plus the agent's
// reading; the section is new for each control, as for a send. Seconds of the
// timed parts, or -1 when a step failed.
double OpenControlCloseWithRecord(long sends, const std::vector<BYTE>& payload)
{
    CqzLocalSystemSecurity security;
    if (!security.IsReady())
        return -1;
    double timed = 0;
    for (long i = 0; i < sends; ++i)
    {
        CqzSharedMemory section;
        BYTE* view = section.Create(QZ_CIC_GLOBAL_SECTION_NAME, security.Get());
        if (!view)
            view = section.Create(QZ_CIC_LOCAL_SECTION_NAME, security.Get());
        if (!view)
            return -1;
        SqzCustCmdRecord* record = reinterpret_cast<SqzCustCmdRecord*>(view);
        record->dwMagic = QZ_CIC_RECORD_MAGIC;
        record->dwCommandId = QZ_CIC_NOTIFY_QZELEVATE_EXIT;
        record->dwDataLen = static_cast<DWORD>(payload.size());
        std::memcpy(record->data, payload.data(), payload.size());

        const double start = Seconds();
        const bool ok = OpenControlClose(true);
        timed += Seconds() - start;
        if (!ok)
            return -1;
    }
    return timed;
}

// sends times ControlService(130) on a service handle opened once.
bool FloorRun(SC_HANDLE handle, long sends)
{
    SERVICE_STATUS status = {};
    for (long i = 0; i < sends; ++i)
    {
        if (!::ControlService(handle, QZ_CIC_SERVICE_CONTROL, &status))
            return false;
    }
    return true;
}

bool SendRun(long sends, const std::vector<BYTE>& payload)
{
    for (long i = 0; i < sends; ++i)
    {
        if (!CqzCustCmdClient::SendData(QZ_CIC_NOTIFY_QZELEVATE_EXIT, static_cast<DWORD>(payload.size()),
                                        payload.data()))
            return false;
    }
    return true;
}

void Print(const char* name, double microseconds)
{
    std::printf("  %-42s %8.0f /s  %8.1f us each\n", name, 1e6 / microseconds, microseconds);
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

    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CqzScopedServiceHandle handle(manager ? ::OpenServiceW(manager.Get(), L"qz_agent", SERVICE_USER_DEFINED_CONTROL)
                                          : nullptr);
    if (!handle)
    {
        std::printf("OpenService failed with %lu\n", static_cast<unsigned long>(::GetLastError()));
        return 1;
    }

    // Many short rounds, each running the four cases one after the other in
    // an order turned every round: the service manager's pace drifts over
    // seconds under Wine, and a drift then weighs on all cases of a round
    // alike. Each case's figure is the median of its rounds; the headline
    // ratio is the median of the rounds' own send / floor ratios.
    const int rounds = static_cast<int>(std::min<long>(sends, kRounds));
    const long block = std::max<long>(sends / rounds, 1);
    std::vector<double> floorTimes, openControlTimes, openTimes, sendTimes, recordTimes, sendRatios, bareRatios,
        recordRatios;
    for (int round = 0; round < rounds; ++round)
    {
        double times[5] = {};
        for (int k = 0; k < 5; ++k)
        {
            const int which = (round + k) % 5;
            if (which == 0)
                times[0] = TimeRun([&] { return FloorRun(handle.Get(), block); });
            else if (which == 1)
                times[1] = TimeRun([&] { return OpenAndClose(block, true); });
            else if (which == 2)
                times[2] = TimeRun([&] { return OpenAndClose(block, false); });
            else if (which == 3)
                times[3] = TimeRun([&] { return SendRun(block, payload); });
            else
                times[4] = OpenControlCloseWithRecord(block, payload);
        }
        if (times[0] <= 0 || times[1] <= 0 || times[2] <= 0 || times[3] <= 0 || times[4] <= 0)
        {
            std::printf("a run failed\n");
            return 1;
        }
        const double n = static_cast<double>(block);
        floorTimes.push_back(times[0] * 1e6 / n);
        openControlTimes.push_back(times[1] * 1e6 / n);
        openTimes.push_back(times[2] * 1e6 / n);
        sendTimes.push_back(times[3] * 1e6 / n);
        recordTimes.push_back(times[4] * 1e6 / n);
        sendRatios.push_back(times[3] / times[1]);
        bareRatios.push_back(times[3] / times[0]);
        recordRatios.push_back(times[3] / times[4]);
    }
    std::printf("channel_bench (%s): %ld operations per case in %d interleaved rounds of %ld, medians of the rounds\n",
                BenchEnvironment().c_str(), block * rounds, rounds, block);
    Print("open + ControlService(130) + close:", BenchMedian(openControlTimes));
    Print("SendData (exit record):", BenchMedian(sendTimes));
    Print("bare ControlService(130):", BenchMedian(floorTimes));
    Print("open + close manager/service:", BenchMedian(openTimes));
    Print("open + control + close, record in place:", BenchMedian(recordTimes));
    std::printf("send / (open + control + close): %.2f\n", BenchMedian(sendRatios));
    std::printf("  its rounds' quartiles: %.2f .. %.2f\n", BenchQuantile(sendRatios, 0.25),
                BenchQuantile(sendRatios, 0.75));
    std::printf("  reference, send / bare control on a handle opened once: %.2f\n", BenchMedian(bareRatios));
    // The agent's reading of the record is in the send, not in the floor;
    // against the floor with a record in place the ratio is the channel's own
    // work on the sender's side (mutex, privilege check, section).
    std::printf("  reference, send / (open + control + close, record in place): %.2f\n", BenchMedian(recordRatios));
    return 0;
}
