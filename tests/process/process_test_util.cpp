#include "tests/process/process_test_util.h"

#include <winternl.h>

#include <sstream>
#include <vector>

namespace qzproc
{

Child::Child(const std::wstring& exePath, const std::wstring& commandLine, DWORD flags, const wchar_t* currentDirectory,
             const std::wstring& environment)
    : m_commandLine(commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring mutableLine = commandLine;
    std::wstring block = environment;
    if (!block.empty())
        flags |= CREATE_UNICODE_ENVIRONMENT;
    if (!::CreateProcessW(exePath.c_str(), &mutableLine[0], nullptr, nullptr, FALSE, flags,
                          block.empty() ? nullptr : &block[0], currentDirectory, &startup, &m_info))
    {
        m_error = ::GetLastError();
        m_info = PROCESS_INFORMATION();
    }
}

Child::~Child()
{
    if (m_info.hProcess != nullptr)
    {
        ::TerminateProcess(m_info.hProcess, 0);
        ::WaitForSingleObject(m_info.hProcess, 10000);
        ::CloseHandle(m_info.hProcess);
    }
    if (m_info.hThread != nullptr)
        ::CloseHandle(m_info.hThread);
}

std::wstring ProbePath(const wchar_t* name)
{
    return qztest::BinDir() + L"\\" + name;
}

ULONG_PTR ReadPointer(HANDLE process, ULONG_PTR address)
{
    ULONG_PTR value = 0;
    SIZE_T count = 0;
    if (address == 0 || !::ReadProcessMemory(process, reinterpret_cast<void*>(address), &value, sizeof value, &count) ||
        count != sizeof value)
        return 0;
    return value;
}

ULONG_PTR PebAddress(HANDLE process)
{
    typedef NTSTATUS(NTAPI * QueryFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const QueryFn query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    // PROCESS_BASIC_INFORMATION: exit status, PEB address, affinity, base
    // priority, process id, parent id; each pointer-sized.
    ULONG_PTR info[6] = {};
    if (query == nullptr || query(process, 0, info, sizeof info, nullptr) < 0)
        return 0;
    return info[1];
}

ULONG_PTR ParametersAddress(HANDLE process)
{
    const ULONG_PTR peb = PebAddress(process);
    return peb == 0 ? 0 : ReadPointer(process, peb + Layout::kPebParameters);
}

std::map<std::wstring, std::wstring> ReadEnvironment(HANDLE process, ULONG_PTR address)
{
    std::map<std::wstring, std::wstring> variables;
    // Read page by page up to the block's double terminator.
    std::wstring block;
    for (ULONG_PTR at = address; at != 0 && block.size() < 0x100000; at += 0x1000)
    {
        std::vector<wchar_t> chunk(0x1000 / sizeof(wchar_t));
        SIZE_T count = 0;
        if (!::ReadProcessMemory(process, reinterpret_cast<void*>(at), chunk.data(), 0x1000, &count))
            break;
        block.append(chunk.data(), count / sizeof(wchar_t));
        if (block.find(std::wstring(2, L'\0')) != std::wstring::npos)
            break;
    }
    for (size_t start = 0; start < block.size() && block[start] != L'\0';)
    {
        const size_t end = block.find(L'\0', start);
        const std::wstring entry = block.substr(start, end - start);
        // "=C:=C:\..." entries start with '='.
        const size_t equals = entry.find(L'=', 1);
        if (equals != std::wstring::npos)
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return variables;
}

bool WriteUnicodeString(HANDLE process, ULONG_PTR address, USHORT length, USHORT maximum, ULONG_PTR buffer)
{
    // Length, maximum length, then the buffer pointer at pointer alignment.
    BYTE field[2 * sizeof(ULONG_PTR)] = {};
    memcpy(field, &length, 2);
    memcpy(field + 2, &maximum, 2);
    memcpy(field + sizeof(ULONG_PTR), &buffer, sizeof buffer);
    SIZE_T count = 0;
    return ::WriteProcessMemory(process, reinterpret_cast<void*>(address), field, sizeof field, &count) &&
           count == sizeof field;
}

qztest::TraceEntries OfClass(const qztest::TraceEntries& entries, const char* className)
{
    qztest::TraceEntries kept;
    for (const qztest::TraceEntry& entry : entries)
        if (entry.className == className)
            kept.push_back(entry);
    return kept;
}

std::string PointerText(const void* pointer)
{
    std::ostringstream text;
    text << pointer;
    return text.str();
}

std::string PointerText(ULONG_PTR pointer)
{
    return PointerText(reinterpret_cast<const void*>(pointer));
}

} // namespace qzproc
