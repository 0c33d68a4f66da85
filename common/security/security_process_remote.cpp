// CqzProcessHandle: remote memory, the remote PEB and process parameters
// (command line, current directory, environment pointer), and the primary
// token and environment replacement.
#include "common/security/security.h"

#include <userenv.h>

#include <cstring>

#include "common/ntapi/ntapi.h"
#include "common/security/security_process_internal.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

using qzprocess::kClass;
using qzprocess::kNullHandle;

namespace
{

// Environment blocks of CreateEnvironmentBlock, released with
// DestroyEnvironmentBlock.
struct EnvironmentBlockTraits
{
    using Type = void*;
    static void* Empty() { return nullptr; }
    static bool IsValid(void* block) { return block != nullptr; }
    static void Close(void* block) { ::DestroyEnvironmentBlock(block); }
};
using ScopedEnvironmentBlock = CqzScoped<EnvironmentBlockTraits>;

// Longest string, and largest block, a new environment may have.
const size_t kMaxEnvironmentChars = 0xFFFFFF;
const size_t kMaxEnvironmentBytes = 0xFFFFFF;

// Bytes of an environment block: each string with its terminator, then the
// block's final terminator. 0 for a block without strings or beyond the
// limits.
size_t MeasureEnvironmentBlock(const wchar_t* block)
{
    size_t chars = 0;
    const wchar_t* entry = block;
    while (*entry != L'\0')
    {
        size_t length = 0;
        while (entry[length] != L'\0' && length <= kMaxEnvironmentChars)
            ++length;
        if (length > kMaxEnvironmentChars)
            return 0;
        chars += length + 1;
        if (chars * sizeof(wchar_t) > kMaxEnvironmentBytes)
            return 0;
        entry += length + 1;
    }
    if (chars == 0)
        return 0;
    const size_t bytes = (chars + 1) * sizeof(wchar_t);
    return bytes > kMaxEnvironmentBytes ? 0 : bytes;
}

// Reads a pointer-sized field out of raw structure bytes.
void* PointerAt(const std::vector<BYTE>& bytes, SIZE_T offset)
{
    void* value = nullptr;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

} // namespace

bool CqzProcessHandle::_CheckTransfer(const void* remoteAddress, const void* buffer, SIZE_T size, SIZE_T* transferred)
{
    if (transferred != nullptr)
        *transferred = 0;
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    if (remoteAddress == nullptr || buffer == nullptr || size == 0)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: One of the parameters is invalid. " << remoteAddress << ", " << buffer << ", " << size);
        m_dwLastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    return true;
}

bool CqzProcessHandle::ReadMemory(const void* remoteAddress, void* buffer, SIZE_T size, SIZE_T* transferred)
{
    QZ_STACK_NAME("ReadMemory", kClass);
    if (!_CheckTransfer(remoteAddress, buffer, size, transferred))
        return false;
    SIZE_T count = 0;
    if (!::ReadProcessMemory(m_h, remoteAddress, buffer, size, &count))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: ReadProcessMemory(" << size << ") failure. PID= " << ::GetProcessId(m_h)
                                            << " LastError= " << m_dwLastError);
        if (transferred != nullptr)
            *transferred = count;
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    if (transferred != nullptr)
        *transferred = count;
    return true;
}

bool CqzProcessHandle::WriteMemory(void* remoteAddress, const void* buffer, SIZE_T size, SIZE_T* transferred)
{
    QZ_STACK_NAME("WriteMemory", kClass);
    if (!_CheckTransfer(remoteAddress, buffer, size, transferred))
        return false;
    SIZE_T count = 0;
    const BOOL ok = ::WriteProcessMemory(m_h, remoteAddress, buffer, size, &count);
    m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
    if (transferred != nullptr)
        *transferred = count;
    if (!ok)
        QZTRACE(QZT_ERROR, kClass, "ERROR: WriteProcessMemory(" << size << ") failed. LastError=" << m_dwLastError);
    return ok != FALSE;
}

bool CqzProcessHandle::ReadMemoryExact(const void* remoteAddress, void* buffer, SIZE_T size)
{
    QZ_STACK_NAME("ReadMemoryExact", kClass);
    SIZE_T count = 0;
    if (!ReadMemory(remoteAddress, buffer, size, &count))
        return false;
    if (count != size)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Read " << count << " bytes. Requested " << size << " bytes");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    return true;
}

bool CqzProcessHandle::WriteMemoryExact(void* remoteAddress, const void* buffer, SIZE_T size)
{
    QZ_STACK_NAME("WriteMemoryExact", kClass);
    SIZE_T count = 0;
    if (!WriteMemory(remoteAddress, buffer, size, &count))
        return false;
    if (count != size)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Written " << count << " bytes. Requested " << size << " bytes");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    return true;
}

bool CqzProcessHandle::_ReadExactSilently(const void* remoteAddress, void* buffer, SIZE_T size)
{
    SIZE_T count = 0;
    if (!::ReadProcessMemory(m_h, remoteAddress, buffer, size, &count))
    {
        m_dwLastError = ::GetLastError();
        return false;
    }
    m_dwLastError = count == size ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    return count == size;
}

bool CqzProcessHandle::_WriteExactSilently(void* remoteAddress, const void* buffer, SIZE_T size)
{
    SIZE_T count = 0;
    if (!::WriteProcessMemory(m_h, remoteAddress, buffer, size, &count))
    {
        m_dwLastError = ::GetLastError();
        return false;
    }
    m_dwLastError = count == size ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    return count == size;
}

bool CqzProcessHandle::_AllocRemoteMemory(SIZE_T size, void*& remoteAddress)
{
    QZ_STACK_NAME("_AllocRemoteMemory", kClass);
    remoteAddress = ::VirtualAllocEx(m_h, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    m_dwLastError = remoteAddress != nullptr ? ERROR_SUCCESS : ::GetLastError();
    if (remoteAddress == nullptr)
        QZTRACE(QZT_ERROR, kClass, "ERROR: VirtualAllocEx(" << size << ") failed. LastError=" << m_dwLastError);
    return remoteAddress != nullptr;
}

bool CqzProcessHandle::_FreeRemoteMemory(void* remoteAddress)
{
    QZ_STACK_NAME("_FreeRemoteMemory", kClass);
    if (!::VirtualFreeEx(m_h, remoteAddress, 0, MEM_RELEASE))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: VirtualFreeEx() failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzProcessHandle::_GetBasicInformation(PROCESS_BASIC_INFORMATION& info)
{
    QZ_STACK_NAME("_GetBasicInformation", kClass);
    std::memset(&info, 0, sizeof info);
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
#ifndef _WIN64
    // A 32-bit process sees no usable PEB of a 64-bit one (the system gives
    // it a null or truncated address): refuse rather than read garbage.
    BOOL selfWow64 = FALSE, targetWow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &selfWow64) && selfWow64 && ::IsWow64Process(m_h, &targetWow64) &&
        !targetWow64)
    {
        m_dwLastError = ERROR_NOT_SUPPORTED;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: The process (PID=" << ::GetProcessId(m_h)
                                           << ") is a 64-bit process; a 32-bit process cannot read its PEB");
        return false;
    }
#endif
    static_assert(sizeof(PROCESS_BASIC_INFORMATION) == BasicInformationSize, "PROCESS_BASIC_INFORMATION layout");
    const NTSTATUS status =
        CqzNTAPI::NtQueryInformationProcess(m_h, ProcessBasicInformation, &info, BasicInformationSize, nullptr);
    if (status < 0)
    {
        m_dwLastError = CqzNTAPI::RtlNtStatusToDosError(status);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: CqzNTAPI::NtQueryInformationProcess(ProcessBasicInformation, "
                    << BasicInformationSize << ") failed. status=" << status);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzProcessHandle::_GetRemotePebAddress(void*& pebAddress)
{
    QZ_STACK_NAME("_GetRemotePebAddress", kClass);
    pebAddress = nullptr;
    PROCESS_BASIC_INFORMATION info;
    if (!_GetBasicInformation(info))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: _GetBasicInformation() failed. LastError=" << m_dwLastError);
        return false;
    }
    pebAddress = info.PebBaseAddress;
    return true;
}

bool CqzProcessHandle::_GetRemotePeb(std::vector<BYTE>& peb)
{
    QZ_STACK_NAME("_GetRemotePeb", kClass);
    void* pebAddress = nullptr;
    if (!_GetRemotePebAddress(pebAddress))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: _GetRemotePebAddress() failed. LastError=" << m_dwLastError);
        return false;
    }
    if (pebAddress == nullptr)
    {
        QZTRACE(QZT_DEBUG, kClass, "DEBUG: _GetRemotePebAddress() returned NULL.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    peb.assign(PebSize, 0);
    if (!_ReadExactSilently(pebAddress, peb.data(), PebSize))
    {
        // A process we may not read is an answer, not a fault.
        if (m_dwLastError != ERROR_ACCESS_DENIED)
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: Copying PEB structure to our local address space failed - ReadProcessMemory() failure. "
                    "PID= "
                        << ::GetProcessId(m_h) << " LastError= " << m_dwLastError);
        return false;
    }
    return true;
}

bool CqzProcessHandle::_GetRemoteUserProcessParametersAddress(void*& parametersAddress)
{
    QZ_STACK_NAME("_GetRemoteUserProcessParametersAddress", kClass);
    parametersAddress = nullptr;
    std::vector<BYTE> peb;
    if (!_GetRemotePeb(peb))
        return false;
    parametersAddress = PointerAt(peb, PebParametersOffset);
    return true;
}

bool CqzProcessHandle::_GetRemoteUserProcessParameters(std::vector<BYTE>& parameters)
{
    QZ_STACK_NAME("_GetRemoteUserProcessParameters", kClass);
    void* parametersAddress = nullptr;
    if (!_GetRemoteUserProcessParametersAddress(parametersAddress))
        return false;
    if (parametersAddress == nullptr)
    {
        QZTRACE(QZT_DEBUG, kClass, "DEBUG: _GetRemoteUserProcessParametersAddress() returned NULL.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    parameters.assign(ParametersSize, 0);
    if (!_ReadExactSilently(parametersAddress, parameters.data(), ParametersSize))
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Copying RTL_USER_PROCESS_PARAMETERS structure to our local address space failed - "
                "ReadProcessMemory() failure. PID= "
                    << ::GetProcessId(m_h) << " LastError= " << m_dwLastError);
        return false;
    }
    return true;
}

bool CqzProcessHandle::_GetRemoteEnvrionmentPointerAddress(void*& pointerAddress)
{
    QZ_STACK_NAME("_GetRemoteEnvrionmentPointerAddress", kClass);
    pointerAddress = nullptr;
    void* parametersAddress = nullptr;
    if (!_GetRemoteUserProcessParametersAddress(parametersAddress))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: _GetRemoteUserProcessParametersAddress() failed.");
        return false;
    }
    // Without parameters there is no pointer to replace (and address 0 plus
    // the offset is no place to write to).
    if (parametersAddress == nullptr)
    {
        QZTRACE(QZT_DEBUG, kClass, "DEBUG: _GetRemoteUserProcessParametersAddress() returned NULL.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    pointerAddress = static_cast<BYTE*>(parametersAddress) + EnvironmentOffset;
    return true;
}

bool CqzProcessHandle::_ReadProcessStringParameter(const void* parametersAddress, SIZE_T fieldOffset,
                                                   std::wstring& text)
{
    QZ_STACK_NAME("_ReadProcessStringParameter", kClass);
    text.clear();
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    BYTE field[UnicodeStringSize] = {};
    if (!_ReadExactSilently(static_cast<const BYTE*>(parametersAddress) + fieldOffset, field, sizeof field))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: 1st ReadProcessMemory() failed. LastError=" << m_dwLastError);
        return false;
    }
    USHORT length = 0, maximum = 0;
    void* buffer = nullptr;
    std::memcpy(&length, field, sizeof length);
    std::memcpy(&maximum, field + sizeof length, sizeof maximum);
    std::memcpy(&buffer, field + UnicodeStringBufferOffset, sizeof buffer);
    if (length == 0)
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    if (buffer == nullptr || length > maximum)
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Invalid UNICODE_STRING data { " << length << ", " << maximum << ", " << buffer << " }");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    // Two zero bytes past the copy end the text even for an odd length.
    const size_t bytes = static_cast<size_t>(length) + 2;
    CqzScopedHeap<BYTE> copy(static_cast<BYTE*>(std::calloc(bytes, 1)));
    if (!copy)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: AllocateBytes(" << bytes << ") failed");
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    if (!_ReadExactSilently(buffer, copy.Get(), length))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: 2nd ReadProcessMemory() failed. LastError=" << m_dwLastError);
        return false;
    }
    const wchar_t* chars = reinterpret_cast<const wchar_t*>(copy.Get());
    text.assign(chars, wcsnlen(chars, length / sizeof(wchar_t)));
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzProcessHandle::GetCommandLineW(std::wstring& commandLine)
{
    QZ_STACK_NAME("GetCommandLineW", kClass);
    commandLine.clear();
    void* parametersAddress = nullptr;
    if (!_GetRemoteUserProcessParametersAddress(parametersAddress))
    {
        if (m_dwLastError != ERROR_SUCCESS && m_dwLastError != ERROR_ACCESS_DENIED)
            QZTRACE(QZT_ERROR, kClass,
                    "ERROR: _GetRemoteUserProcessParametersAddress() failure. PID= " << ::GetProcessId(m_h)
                                                                                     << " LastError=" << m_dwLastError);
        return false;
    }
    if (parametersAddress == nullptr)
    {
        QZTRACE(QZT_DEBUG, kClass, "DEBUG: _GetRemoteUserProcessParametersAddress() returned NULL.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    return _ReadProcessStringParameter(parametersAddress, CommandLineOffset, commandLine);
}

bool CqzProcessHandle::GetCurrentDirectoryW(std::wstring& directory)
{
    QZ_STACK_NAME("GetCurrentDirectoryW", kClass);
    directory.clear();
    void* parametersAddress = nullptr;
    if (!_GetRemoteUserProcessParametersAddress(parametersAddress))
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: _GetRemoteUserProcessParametersAddress() failed. LastError=" << m_dwLastError);
        return false;
    }
    if (parametersAddress == nullptr)
    {
        QZTRACE(QZT_DEBUG, kClass, "DEBUG: _GetRemoteUserProcessParametersAddress() returned NULL.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    return _ReadProcessStringParameter(parametersAddress, CurrentDirectoryOffset, directory);
}

namespace
{

// The static parameter readers: open for reading, run the member, keep its
// error as the thread's last error.
template <typename Member>
bool ReadParameterOf(DWORD pid, std::wstring& text, Member member)
{
    text.clear();
    CqzProcessHandle process;
    if (!process.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, pid))
    {
        ::SetLastError(process.LastError());
        return false;
    }
    const bool ok = (process.*member)(text);
    ::SetLastError(process.LastError());
    return ok;
}

} // namespace

bool CqzProcessHandle::GetCommandLineW(DWORD pid, std::wstring& commandLine)
{
    QZ_STACK_NAME("GetCommandLineW", kClass);
    return ReadParameterOf(pid, commandLine,
                           static_cast<bool (CqzProcessHandle::*)(std::wstring&)>(&CqzProcessHandle::GetCommandLineW));
}

bool CqzProcessHandle::GetCurrentDirectoryW(DWORD pid, std::wstring& directory)
{
    QZ_STACK_NAME("GetCurrentDirectoryW", kClass);
    return ReadParameterOf(
        pid, directory,
        static_cast<bool (CqzProcessHandle::*)(std::wstring&)>(&CqzProcessHandle::GetCurrentDirectoryW));
}

bool CqzProcessHandle::ReplacePrimaryToken(DWORD pid, const CAccessToken& token, bool newEnvironment)
{
    QZ_STACK_NAME("ReplacePrimaryToken", kClass);
    DWORD access = READ_CONTROL | WRITE_DAC | PROCESS_SET_INFORMATION | PROCESS_QUERY_INFORMATION;
    if (newEnvironment)
        access |= PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE;
    CqzProcessHandle process;
    if (!process.OpenProcess(access, pid, false))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: OpenProcess(" << pid << ") failed. LastError=" << process.m_dwLastError);
        ::SetLastError(process.m_dwLastError);
        return false;
    }
    // PROCESS_ACCESS_TOKEN: the token, then the thread (none).
    struct
    {
        HANDLE token;
        HANDLE thread;
    } accessToken = {token.GetHandle(), nullptr};
    const NTSTATUS status = CqzNTAPI::NtSetInformationProcess(process.m_h, static_cast<PROCESSINFOCLASS>(9),
                                                              &accessToken, sizeof accessToken);
    if (status < 0)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: CqzNTAPI::NtSetInformationProcess() failed. status=" << status);
        ::SetLastError(CqzNTAPI::RtlNtStatusToDosError(status));
        return false;
    }
    if (newEnvironment && !process.CreateNewEnvironment(token))
        QZTRACE(QZT_ERROR, kClass, "ERROR: CreateNewEnvironment failed");
    // The token is in place: that is what the caller asked for first.
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

bool CqzProcessHandle::_SetEnvironmentVariable(void*& block, const wchar_t* name, const std::wstring& value)
{
    UNICODE_STRING nameString = {}, valueString = {};
    CqzNTAPI::RtlInitUnicodeString(&nameString, name);
    CqzNTAPI::RtlInitUnicodeString(&valueString, value.c_str());
    // The block may be moved to a larger one; the old one is freed then.
    const NTSTATUS status = CqzNTAPI::RtlSetEnvironmentVariable(&block, &nameString, &valueString);
    if (status < 0)
    {
        ::SetLastError(CqzNTAPI::RtlNtStatusToDosError(status));
        return false;
    }
    return true;
}

bool CqzProcessHandle::CreateNewEnvironment(const CAccessToken& token)
{
    QZ_STACK_NAME("CreateNewEnvironment", kClass);
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    void* pointerAddress = nullptr;
    if (!_GetRemoteEnvrionmentPointerAddress(pointerAddress))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: _GetRemoteEnvrionmentPointerAddress failed");
        return false;
    }
    ScopedEnvironmentBlock block;
    if (!::CreateEnvironmentBlock(block.Receive(), token.GetHandle(), FALSE))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: CreateEnvironmentBlock failed. LastError=" << m_dwLastError);
        return false;
    }

    CSid user;
    if (token.GetUser(&user) && user.IsValid())
    {
        const struct
        {
            const wchar_t* name;
            const std::wstring& value;
        } variables[] = {{L"USERNAME", user.AccountName()}, {L"USERDOMAIN", user.Domain()}};
        for (const auto& variable : variables)
        {
            if (variable.value.empty())
                continue;
            void* current = block.Release();
            const bool ok = _SetEnvironmentVariable(current, variable.name, variable.value);
            block.Reset(current);
            if (!ok)
                QZTRACE(QZT_ERROR, kClass,
                        "ERROR: _SetEnvironmentVariable(" << variable.name << ", " << variable.value
                                                          << ") failed. LastError=" << ::GetLastError());
        }
    }
    else
    {
        QZTRACE(QZT_INFO, kClass, "INFO: Failed to get token user and domain");
    }

    const size_t size = MeasureEnvironmentBlock(static_cast<const wchar_t*>(block.Get()));
    if (size == 0)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: New envioronment block has zero size");
        m_dwLastError = ERROR_INVALID_BLOCK;
        return false;
    }
    void* remoteBlock = nullptr;
    if (!_AllocRemoteMemory(size, remoteBlock))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: _AllocRemoteMemory(" << size << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    const bool copied = _WriteExactSilently(remoteBlock, block.Get(), size);
    block.Reset();
    if (!copied)
    {
        const DWORD error = m_dwLastError;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Copying new environment to the remote process memory. WriteProcessMemory("
                    << size << ") failed. LastError=" << error);
        _FreeRemoteMemory(remoteBlock);
        m_dwLastError = error;
        return false;
    }
    if (!WriteMemoryExact(pointerAddress, &remoteBlock, sizeof remoteBlock))
    {
        const DWORD error = m_dwLastError;
        _FreeRemoteMemory(remoteBlock);
        m_dwLastError = error;
        return false;
    }
    return true;
}
