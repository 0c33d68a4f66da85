// Helpers of the attribute-list suites: starting the probe with an attribute
// list and reading what it reports about itself.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/harness/harness.h"

namespace qzattr
{

// One handle of the probe as it reported it.
struct ProbeHandle
{
    unsigned long long value = 0;
    std::string type;
    std::string name;
};

struct ProbeReport
{
    bool ok = false; // the probe ran, exited with 0 and wrote its report
    std::string failure;
    unsigned long long parent = 0;
    unsigned long long self = 0;
    std::vector<ProbeHandle> handles;
};

// Runs "attrlist_probe.exe report <file>" with the attribute list (null: a
// plain STARTUPINFOW) and the given bInheritHandles, and reads its report.
ProbeReport RunReportProbe(LPPROC_THREAD_ATTRIBUTE_LIST list, bool inheritHandles);

// A probe in "wait" mode, to be the parent of other probes; it ends when the
// object goes (or after two minutes).
class WaitingProbe
{
public:
    WaitingProbe();
    ~WaitingProbe();
    WaitingProbe(const WaitingProbe&) = delete;
    WaitingProbe& operator=(const WaitingProbe&) = delete;

    bool Started() const { return m_process.IsValid(); }
    HANDLE Process() const { return m_process.Get(); }
    DWORD Pid() const { return m_pid; }

private:
    qztest::ScopedHandle m_event;
    qztest::ScopedHandle m_process;
    DWORD m_pid = 0;
};

// The handles of a report whose object name ends with the given tag.
std::vector<ProbeHandle> HandlesNamed(const ProbeReport& report, const std::string& tag);

unsigned long long HandleValue(HANDLE handle);

// The handle values this process holds, from the system's handle table
// (NtQuerySystemInformation(SystemHandleInformation)); false when it cannot
// be read. Independent of GetProcessHandleCount, which Wine answers with 0.
bool OwnHandleValues(std::vector<unsigned long long>& values);
// Their number; ~0 when the table cannot be read.
size_t OwnHandleCount();

} // namespace qzattr
