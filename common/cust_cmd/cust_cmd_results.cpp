// Command results: the result block a sender hands the agent, and the agent's
// answer written into the sender's memory.
#include "common/cust_cmd/cust_cmd.h"

#include <cstring>

#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{
const char* const kResultClientClass = "CqzCustCmdResultClient";
const char* const kResultServerClass = "CqzCustCmdResultServer";
} // namespace

// ---------------------------------------------------------------------------
// Command results

namespace
{

constexpr DWORD kResultBlockSize = 16;

LONGLONG SignExtend(const void* value)
{
    return static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(value));
}

// A 64-bit value of the block as a pointer of this process; false when it
// does not fit (a 32-bit agent given a 64-bit sender's value).
bool ToPointer(LONGLONG value, void*& pointer)
{
    const INT_PTR narrow = static_cast<INT_PTR>(value);
    if (static_cast<LONGLONG>(narrow) != value)
        return false;
    pointer = reinterpret_cast<void*>(narrow);
    return true;
}

} // namespace

CqzCustCmdResultClient::CqzCustCmdResultClient(bool useEvent_) : useEvent(useEvent_) {}

CqzCustCmdResultClient::CqzCustCmdResultClient(NoWait, bool notImplemented)
    : m_dwResult(notImplemented ? ERROR_CALL_NOT_IMPLEMENTED : QZ_CIC_RESULT_NOT_SET), useEvent(false)
{
}

// The event holder closes the event and keeps the caller's last error.
CqzCustCmdResultClient::~CqzCustCmdResultClient() = default;

bool CqzCustCmdResultClient::_InitClient()
{
    QZ_STACK_NAME("_InitClient", kResultClientClass);
    if (m_hEvent)
        return false;
    if (useEvent)
    {
        CqzLocalSystemSecurity security;
        // Auto-reset, not signalled, unnamed.
        HANDLE event = security.IsReady() ? ::CreateEventW(security.Get(), FALSE, FALSE, nullptr) : nullptr;
        if (!event)
        {
            QZTRACE(QZT_ERROR, kResultClientClass,
                    "ERROR: Event.Create failed."
                        << " LastError=" << static_cast<unsigned long>(::GetLastError()));
            return false;
        }
        m_hEvent.Reset(event);
        cmdResReadyEventHandle = SignExtend(event);
    }
    else
    {
        cmdResReadyEventHandle = QZ_CIC_RESULT_NO_EVENT;
    }
    cmdResultAddress = SignExtend(&m_dwResult);
    return true;
}

bool CqzCustCmdResultClient::ToBuffer(BYTE*& pos, DWORD& remaining)
{
    if (!_InitClient() || remaining < kResultBlockSize || !pos)
        return false;
    BYTE* next = CqzCustComdFileMap::_SerializeRaw(&cmdResultAddress, sizeof(cmdResultAddress), pos);
    pos = CqzCustComdFileMap::_SerializeRaw(&cmdResReadyEventHandle, sizeof(cmdResReadyEventHandle), next);
    remaining -= kResultBlockSize;
    return true;
}

bool CqzCustCmdResultClient::WaitRes(DWORD timeoutMs, DWORD& result)
{
    QZ_STACK_NAME("WaitRes", kResultClientClass);
    if (!useEvent)
    {
        QZTRACE(QZT_ERROR, kResultClientClass, "ERROR: WaitRes called when useEvent is False");
        return false;
    }
    if (!m_hEvent)
    {
        QZTRACE(QZT_ERROR, kResultClientClass, "ERROR: Event handle is Null");
        return false;
    }
    const DWORD wait = ::WaitForSingleObject(m_hEvent.Get(), timeoutMs);
    if (wait != WAIT_OBJECT_0)
    {
        QZTRACE(QZT_ERROR, kResultClientClass,
                "ERROR: WaitForSingleObject returned " << static_cast<unsigned long>(wait));
        return false;
    }
    // Written by the agent's process before it set the event.
    result = *static_cast<volatile DWORD*>(&m_dwResult);
    return true;
}

CqzCustCmdResultServer::CqzCustCmdResultServer(DWORD clientPid) : m_dwClientPid(clientPid) {}

// The event holder closes the duplicate and keeps the caller's last error.
CqzCustCmdResultServer::~CqzCustCmdResultServer() = default;

bool CqzCustCmdResultServer::FromBuffer(const BYTE*& pos, DWORD& remaining)
{
    if (!pos || remaining < kResultBlockSize)
        return false;
    LONGLONG address = 0;
    LONGLONG eventHandle = 0;
    std::memcpy(&address, pos, sizeof(address));
    std::memcpy(&eventHandle, pos + sizeof(address), sizeof(eventHandle));
    pos += kResultBlockSize;
    remaining -= kResultBlockSize;
    // A server that holds its sender's event keeps the block that goes with it.
    if (m_hEvent)
        return false;
    cmdResultAddress = address;
    cmdResReadyEventHandle = eventHandle;
    return _InitServer();
}

bool CqzCustCmdResultServer::_InitServer()
{
    QZ_STACK_NAME("_InitServer", kResultServerClass);
    if (m_hEvent)
        return false;
    if (cmdResReadyEventHandle == QZ_CIC_RESULT_NO_EVENT)
    {
        useEvent = false;
        return true;
    }
    useEvent = true;
    if (cmdResReadyEventHandle == 0)
    {
        QZTRACE(QZT_ERROR, kResultServerClass,
                "ERROR: UseEvent is True but cmdResReadyEventHandle is null."
                    << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    CqzScopedHandle process(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, m_dwClientPid));
    if (!process)
    {
        QZTRACE(QZT_ERROR, kResultServerClass,
                "ERROR: OpenProcess(" << static_cast<unsigned long>(m_dwClientPid) << ") failed."
                                      << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    void* sourceHandle = nullptr;
    HANDLE duplicate = nullptr;
    if (!ToPointer(cmdResReadyEventHandle, sourceHandle))
        ::SetLastError(ERROR_INVALID_HANDLE);
    else if (::DuplicateHandle(process.Get(), sourceHandle, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                               DUPLICATE_SAME_ACCESS))
        m_hEvent.Reset(duplicate);
    if (!m_hEvent)
    {
        QZTRACE(QZT_ERROR, kResultServerClass,
                "ERROR: DuplicateHandle(" << static_cast<unsigned long>(m_dwClientPid) << ") failed."
                                          << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    return true;
}

bool CqzCustCmdResultServer::SetResultReady(DWORD result)
{
    QZ_STACK_NAME("SetResultReady", kResultServerClass);
    if (!useEvent)
    {
        m_dwResult = result;
        return true;
    }
    if (!m_hEvent || cmdResultAddress == 0)
        return false;

    CqzScopedHandle process(::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, m_dwClientPid));
    if (!process)
    {
        QZTRACE(QZT_ERROR, kResultServerClass,
                "ERROR: OpenProcess(" << static_cast<unsigned long>(m_dwClientPid) << ") failed."
                                      << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    // The result is in the sender's memory before its event is set.
    m_dwResult = result;
    void* address = nullptr;
    SIZE_T written = 0;
    bool wrote = false;
    if (!ToPointer(cmdResultAddress, address))
        ::SetLastError(ERROR_INVALID_ADDRESS);
    else
        wrote = ::WriteProcessMemory(process.Get(), address, &m_dwResult, sizeof(m_dwResult), &written) &&
                written == sizeof(m_dwResult);
    if (!wrote)
    {
        QZTRACE(QZT_ERROR, kResultServerClass,
                "ERROR: WriteProcessMemory(" << static_cast<unsigned long>(m_dwClientPid) << ") failed."
                                             << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    if (!::SetEvent(m_hEvent.Get()))
    {
        QZTRACE(QZT_ERROR, kResultServerClass,
                "ERROR: SetEvent() failed."
                    << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    return true;
}
