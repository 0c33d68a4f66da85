// Helpers of the process suite: child processes to inspect, and a model of
// the remote structures written from their published layouts (independent of
// the product's constants).
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "common/security/security.h"
#include "testing/harness/harness.h"

namespace qzproc
{

// A child process, terminated and closed when the object goes.
class Child
{
public:
    // Starts exePath with the command line; flags such as CREATE_SUSPENDED;
    // environment: a block of "name=value\0"... "\0" or empty for ours.
    Child(const std::wstring& exePath, const std::wstring& commandLine, DWORD flags,
          const wchar_t* currentDirectory = nullptr, const std::wstring& environment = std::wstring());
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_info.hProcess != nullptr; }
    DWORD Error() const { return m_error; }
    DWORD Pid() const { return m_info.dwProcessId; }
    DWORD Tid() const { return m_info.dwThreadId; }
    HANDLE Process() const { return m_info.hProcess; }
    HANDLE Thread() const { return m_info.hThread; }
    const std::wstring& CommandLine() const { return m_commandLine; }

private:
    PROCESS_INFORMATION m_info = {};
    std::wstring m_commandLine;
    DWORD m_error = 0;
};

// An environment block from a literal holding its "\0" separators and final
// "\0" (the literal's own terminator not counted).
template <size_t N>
std::wstring EnvironmentBlock(const wchar_t (&text)[N])
{
    return std::wstring(text, N - 1);
}

// The probe beside the suite, by name ("process_probe.exe" ...).
std::wstring ProbePath(const wchar_t* name = L"process_probe.exe");

// The remote layouts of this build's bitness, from the published structures.
struct Layout
{
#ifdef _WIN64
    static const size_t kPebParameters = 0x20;
    static const size_t kCurrentDirectory = 0x38, kCommandLine = 0x70, kEnvironment = 0x80;
#else
    static const size_t kPebParameters = 0x10;
    static const size_t kCurrentDirectory = 0x24, kCommandLine = 0x40, kEnvironment = 0x48;
#endif
};

// PEB and parameters address of a process (PROCESS_QUERY_INFORMATION |
// PROCESS_VM_READ); 0 when they cannot be read.
ULONG_PTR PebAddress(HANDLE process);
ULONG_PTR ParametersAddress(HANDLE process);
// A remote pointer-sized value; 0 when it cannot be read.
ULONG_PTR ReadPointer(HANDLE process, ULONG_PTR address);
// The environment block at address: its variables by name.
std::map<std::wstring, std::wstring> ReadEnvironment(HANDLE process, ULONG_PTR address);

// Writes a UNICODE_STRING of this build's layout at address.
bool WriteUnicodeString(HANDLE process, ULONG_PTR address, USHORT length, USHORT maximum, ULONG_PTR buffer);

// The entries traced under one class.
qztest::TraceEntries OfClass(const qztest::TraceEntries& entries, const char* className);

// A pointer as the trace stream writes it.
std::string PointerText(const void* pointer);
std::string PointerText(ULONG_PTR pointer);

} // namespace qzproc

// Reaches the protected remote helpers of the product class.
class ProcessHandleAccess : public CqzProcessHandle
{
public:
    using CqzProcessHandle::_AllocRemoteMemory;
    using CqzProcessHandle::_FreeRemoteMemory;
    using CqzProcessHandle::_GetRemoteEnvrionmentPointerAddress;
    using CqzProcessHandle::_GetRemotePeb;
    using CqzProcessHandle::_GetRemoteUserProcessParameters;
    using CqzProcessHandle::_GetRemoteUserProcessParametersAddress;
    using CqzProcessHandle::_ReadProcessStringParameter;
    using CqzProcessHandle::CommandLineOffset;
    using CqzProcessHandle::CqzProcessHandle;
    using CqzProcessHandle::ParametersSize;
    using CqzProcessHandle::PebSize;
};
