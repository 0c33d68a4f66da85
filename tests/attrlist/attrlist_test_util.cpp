#include "tests/attrlist/attrlist_test_util.h"

#include <winternl.h>

#include <cstdlib>
#include <sstream>

namespace qzattr
{
namespace
{
std::wstring ProbePath()
{
    return qztest::BinDir() + L"\\attrlist_probe.exe";
}

std::wstring UniqueName(const wchar_t* kind)
{
    static LONG counter = 0;
    std::wostringstream name;
    name << L"qz-attrlist-" << kind << L"-" << ::GetCurrentProcessId() << L"-" << ::InterlockedIncrement(&counter);
    return name.str();
}

// Starts the probe and waits for it; the exit code, or ~0 when it did not run.
DWORD RunProbe(const std::wstring& arguments, LPPROC_THREAD_ATTRIBUTE_LIST list, bool inheritHandles,
               std::string& failure)
{
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = list != nullptr ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
    startup.lpAttributeList = list;
    std::wstring commandLine = qztest::QuoteArg(ProbePath()) + L" " + arguments;
    PROCESS_INFORMATION info = {};
    const DWORD flags = list != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0;
    if (!::CreateProcessW(ProbePath().c_str(), &commandLine[0], nullptr, nullptr, inheritHandles ? TRUE : FALSE, flags,
                          nullptr, nullptr, &startup.StartupInfo, &info))
    {
        failure = "CreateProcessW failed with " + std::to_string(::GetLastError());
        return ~0u;
    }
    qztest::ScopedHandle process(info.hProcess);
    qztest::ScopedHandle thread(info.hThread);
    if (::WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0)
    {
        ::TerminateProcess(process.Get(), 99);
        failure = "the probe did not end";
        return ~0u;
    }
    DWORD exitCode = ~0u;
    ::GetExitCodeProcess(process.Get(), &exitCode);
    return exitCode;
}
} // namespace

unsigned long long HandleValue(HANDLE handle)
{
    return static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(handle));
}

bool OwnHandleValues(std::vector<unsigned long long>& values)
{
    values.clear();
    const SYSTEM_INFORMATION_CLASS systemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    const NTSTATUS infoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    NTSTATUS status;
    for (;;)
    {
        ULONG returned = 0;
        status = ::NtQuerySystemInformation(systemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                            &returned);
        if (status != infoLengthMismatch || buffer.size() >= (1u << 26))
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0)
        return false;
    const SYSTEM_HANDLE_INFORMATION* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    const DWORD self = ::GetCurrentProcessId();
    for (ULONG i = 0; i < info->Count; ++i)
    {
        if (info->Handle[i].OwnerPid == self)
            values.push_back(info->Handle[i].HandleValue);
    }
    return true;
}

size_t OwnHandleCount()
{
    std::vector<unsigned long long> values;
    return OwnHandleValues(values) ? values.size() : ~static_cast<size_t>(0);
}

ProbeReport RunReportProbe(LPPROC_THREAD_ATTRIBUTE_LIST list, bool inheritHandles)
{
    ProbeReport report;
    qztest::TempDir dir(L"qzattr");
    const std::wstring file = dir / L"report.txt";
    const DWORD exitCode = RunProbe(L"report " + qztest::QuoteArg(file), list, inheritHandles, report.failure);
    if (exitCode != 0)
    {
        if (report.failure.empty())
            report.failure = "the probe exited with " + std::to_string(exitCode);
        return report;
    }
    const qztest::KeyValues values = qztest::ReadKeyValues(file);
    if (!values.Has("parent") || !values.Has("self"))
    {
        report.failure = "the report is incomplete";
        return report;
    }
    report.parent = std::strtoull(values.Get("parent").c_str(), nullptr, 10);
    report.self = std::strtoull(values.Get("self").c_str(), nullptr, 10);
    for (const std::string& line : values.All("handle"))
    {
        ProbeHandle handle;
        const size_t first = line.find('|');
        const size_t second = first == std::string::npos ? std::string::npos : line.find('|', first + 1);
        if (second == std::string::npos)
        {
            report.failure = "malformed handle line: " + line;
            return report;
        }
        handle.value = std::strtoull(line.substr(0, first).c_str(), nullptr, 10);
        handle.type = line.substr(first + 1, second - first - 1);
        handle.name = line.substr(second + 1);
        report.handles.push_back(handle);
    }
    report.ok = true;
    return report;
}

std::vector<ProbeHandle> HandlesNamed(const ProbeReport& report, const std::string& tag)
{
    std::vector<ProbeHandle> found;
    for (const ProbeHandle& handle : report.handles)
    {
        if (handle.name.size() >= tag.size() &&
            handle.name.compare(handle.name.size() - tag.size(), tag.size(), tag) == 0)
            found.push_back(handle);
    }
    return found;
}

WaitingProbe::WaitingProbe()
{
    const std::wstring eventName = UniqueName(L"wait");
    m_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!m_event)
        return;
    std::wstring commandLine = qztest::QuoteArg(ProbePath()) + L" wait " + eventName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(ProbePath().c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
        return;
    ::CloseHandle(info.hThread);
    m_process.Reset(info.hProcess);
    m_pid = info.dwProcessId;
}

WaitingProbe::~WaitingProbe()
{
    if (!m_process)
        return;
    ::SetEvent(m_event.Get());
    if (::WaitForSingleObject(m_process.Get(), 30000) != WAIT_OBJECT_0)
        ::TerminateProcess(m_process.Get(), 99);
}

} // namespace qzattr
