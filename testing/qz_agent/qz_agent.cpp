// The agent service stand-in: a Windows service named "qz_agent" that owns
// the channel mutex and logs every record it is sent with control 130 (see
// agent_protocol.h for the log). Started by the service control manager
// only; started directly it exits with the dispatcher's error (1063).
#include <windows.h>

#include <string>

#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_record_handler.h"

namespace
{

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopEvent = nullptr;
// The stand-in while the service runs; the lock keeps a control that is
// being handled from racing the stop.
SRWLOCK g_standInLock = SRWLOCK_INIT;
qzagent::CqzAgentStandIn* g_standIn = nullptr;

class StandInLock
{
public:
    StandInLock() { ::AcquireSRWLockExclusive(&g_standInLock); }
    ~StandInLock() { ::ReleaseSRWLockExclusive(&g_standInLock); }
    StandInLock(const StandInLock&) = delete;
    StandInLock& operator=(const StandInLock&) = delete;
};

void ReportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0)
{
    static DWORD checkPoint = 1;
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwServiceSpecificExitCode = 0;
    g_status.dwWaitHint = waitHintMs;
    g_status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkPoint++;
    ::SetServiceStatus(g_statusHandle, &g_status);
}

// Runs on the service's control dispatcher thread, one control at a time.
DWORD WINAPI ControlHandler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
        ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, 5000);
        ::SetEvent(g_stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    case QZ_CIC_SERVICE_CONTROL:
    {
        // The sender holds the section until this returns.
        StandInLock lock;
        if (g_standIn)
            g_standIn->OnChannelControl();
        return NO_ERROR;
    }
    default:
        if (control >= 128 && control <= 255)
        {
            StandInLock lock;
            if (g_standIn)
                g_standIn->OnOtherControl(control);
            return NO_ERROR;
        }
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring dir(path, length);
    const size_t slash = dir.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring(L".") : dir.substr(0, slash);
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/)
{
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(qzagent::kServiceName, ControlHandler, nullptr);
    if (!g_statusHandle)
        return;
    ReportStatus(SERVICE_START_PENDING, NO_ERROR, 5000);

    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stopEvent)
    {
        ReportStatus(SERVICE_STOPPED, ::GetLastError());
        return;
    }

    const std::wstring dir = ExeDir();
    {
        qzagent::CqzAgentStandIn standIn(dir + L"\\" + qzagent::kLogName, dir + L"\\" + qzagent::kTraceName);
        DWORD error = 0;
        if (!standIn.Start(error))
        {
            ::CloseHandle(g_stopEvent);
            g_stopEvent = nullptr;
            ReportStatus(SERVICE_STOPPED, error);
            return;
        }
        {
            StandInLock lock;
            g_standIn = &standIn;
        }
        ReportStatus(SERVICE_RUNNING);
        ::WaitForSingleObject(g_stopEvent, INFINITE);
        {
            StandInLock lock;
            g_standIn = nullptr;
        }
        standIn.Stop();
    }
    ::CloseHandle(g_stopEvent);
    g_stopEvent = nullptr;
    ReportStatus(SERVICE_STOPPED);
}

} // namespace

int wmain()
{
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(qzagent::kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table))
        return static_cast<int>(::GetLastError());
    return 0;
}
