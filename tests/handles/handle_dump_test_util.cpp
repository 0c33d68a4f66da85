#include "tests/handles/handle_dump_test_util.h"

#include "common/security/security.h"
#include "common/util/exports.h"
#include "common/util/scoped.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

#include <sddl.h>
#include <winternl.h>

#include <cstdio>
#include <sstream>

namespace qzdumptest
{

namespace
{

typedef NTSTATUS(NTAPI* NtQueryObjectFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

const SECURITY_INFORMATION kDumpFlags =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

std::wstring Format(const char* format, unsigned long long value)
{
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

// The calling thread's own token for access checks: a copy of the process
// token, taken by impersonating itself for the moment.
qztest::ScopedHandle OwnImpersonationToken()
{
    qztest::ScopedHandle token;
    if (!::ImpersonateSelf(SecurityImpersonation))
        return token;
    HANDLE h = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &h))
        token.Reset(h);
    ::RevertToSelf();
    return token;
}

typedef DWORD(WINAPI* GetFileAttributesWFn)(LPCWSTR);
typedef HANDLE(WINAPI* CreateFileWFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

struct RecordedCalls
{
    std::wstring path;
    std::wstring dumpPath;
    std::string attributes;
    std::string opens;
    std::string dumpOpens;
    GetFileAttributesWFn getFileAttributes = nullptr;
    CreateFileWFn createFile = nullptr;
};
RecordedCalls g_recorded;

char ImpersonationDigit()
{
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return '0';
    ::CloseHandle(token);
    return '1';
}

DWORD WINAPI RecordingGetFileAttributes(LPCWSTR path)
{
    if (path != nullptr && g_recorded.path == path)
        g_recorded.attributes += ImpersonationDigit();
    return g_recorded.getFileAttributes(path);
}

HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                  DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (path != nullptr && g_recorded.path == path)
        g_recorded.opens += ImpersonationDigit();
    if (path != nullptr && g_recorded.dumpPath == path && (access & GENERIC_WRITE) != 0)
        g_recorded.dumpOpens += ImpersonationDigit();
    return g_recorded.createFile(path, access, share, attributes, disposition, flags, templateFile);
}

} // namespace

struct DumpCallRecorder::Hooks
{
    qztest::IatHook attributes{"kernel32.dll", "GetFileAttributesW",
                               reinterpret_cast<void*>(&RecordingGetFileAttributes)};
    qztest::IatHook create{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&RecordingCreateFile)};
};

DumpCallRecorder::DumpCallRecorder(const std::wstring& path, const std::wstring& dumpPath)
{
    g_recorded = RecordedCalls();
    g_recorded.path = path;
    g_recorded.dumpPath = dumpPath;
    m_hooks = new Hooks();
    g_recorded.getFileAttributes = m_hooks->attributes.OriginalAs<GetFileAttributesWFn>();
    g_recorded.createFile = m_hooks->create.OriginalAs<CreateFileWFn>();
}

DumpCallRecorder::~DumpCallRecorder()
{
    delete m_hooks;
}

bool DumpCallRecorder::Installed() const
{
    return m_hooks->attributes.Installed() && m_hooks->create.Installed();
}

std::string DumpCallRecorder::Attributes() const
{
    return g_recorded.attributes;
}

std::string DumpCallRecorder::Opens() const
{
    return g_recorded.opens;
}

std::string DumpCallRecorder::DumpOpens() const
{
    return g_recorded.dumpOpens;
}

std::wstring Hex8(DWORD value)
{
    return Format("0x%08llX", value);
}

std::wstring Hex16(ULONGLONG value)
{
    return Format("%016llX", value);
}

std::wstring Dec(long long value)
{
    return Format("%lld", static_cast<unsigned long long>(value));
}

std::wstring PointerText(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%0*llX", static_cast<int>(sizeof(void*) * 2),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

bool ReadDump(const std::wstring& path, Lines& lines, std::string& problem)
{
    return qztest::ReadUtf16Lines(path, lines, &problem);
}

Lines DescriptorLines(PSECURITY_DESCRIPTOR descriptor, std::string* sddlMismatch)
{
    CqzStringTextSink sink;
    const CqzSecurityDesc copy(descriptor);
    copy.DumpSecurityDescriptor(sink);
    Lines lines;
    qztest::SplitCrLfLines(sink.Text(), lines);
    if (sddlMismatch)
    {
        const std::string sddl = qztest::SddlOf(descriptor, kDumpFlags);
        const std::wstring expected = L"   SECURITY DESCRIPTOR: " + qztest::FromUtf8(sddl);
        sddlMismatch->clear();
        if (lines.empty() || lines[0] != expected)
            *sddlMismatch = "first line is not the SDDL " + sddl;
    }
    return lines;
}

Lines ExpectedInfoLines(HANDLE handle, SE_OBJECT_TYPE type)
{
    Lines lines;
    struct
    {
        ULONG attributes;
        ACCESS_MASK granted;
        ULONG rest[12];
    } basic = {};
    const auto query = CqzResolveExport<NtQueryObjectFn>(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
    const NTSTATUS status = query(handle, 0, &basic, 56, nullptr);
    if (status >= 0)
        lines.push_back(L"   OBJECT ACCESS GRANTED: " + Hex8(basic.granted));
    else
        lines.push_back(L"   OBJECT ACCESS GRANTED: Unable to get granted access. Error " +
                        Dec(static_cast<long>(status)));

    CqzScopedLocal<void> descriptor;
    DWORD result = ::GetSecurityInfo(
        handle, type, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
        nullptr, nullptr, nullptr, descriptor.Receive());
    if (result != ERROR_SUCCESS)
    {
        lines.push_back(L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error " + Dec(result));
    }
    else
    {
        qztest::ScopedHandle token = OwnImpersonationToken();
        GENERIC_MAPPING mapping = {};
        BYTE privileges[20] = {};
        DWORD privilegesLength = sizeof(privileges);
        DWORD granted = 0;
        BOOL accessStatus = FALSE;
        if (::AccessCheck(descriptor.Get(), token.Get(), MAXIMUM_ALLOWED, &mapping,
                          reinterpret_cast<PRIVILEGE_SET*>(privileges), &privilegesLength, &granted, &accessStatus))
            lines.push_back(L"   OBJECT ACCESS MAX ALLOWED: " + Hex8(granted));
        else
            lines.push_back(L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error " +
                            Dec(::GetLastError()));
    }

    CqzScopedLocal<void> full;
    result = ::GetSecurityInfo(handle, type, kDumpFlags, nullptr, nullptr, nullptr, nullptr, full.Receive());
    if (result != ERROR_SUCCESS)
        lines.push_back(L"  OBJECT SECURITY: Unable to get security. Error " + Dec(result));
    else if (!full.IsValid())
        lines.push_back(L"  SECURITY_DESCRIPTOR is NULL");
    else
        Append(lines, DescriptorLines(full.Get()));
    return lines;
}

void Append(Lines& a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
}

std::string Diff(const Lines& expected, const Lines& actual)
{
    std::ostringstream out;
    const size_t count = std::max(expected.size(), actual.size());
    for (size_t i = 0; i < count; ++i)
    {
        const std::string e = i < expected.size() ? qztest::ToUtf8(expected[i]) : "<none>";
        const std::string a = i < actual.size() ? qztest::ToUtf8(actual[i]) : "<none>";
        out << (e == a ? "  " : "! ") << i << ": [" << e << "]";
        if (e != a)
            out << " got [" << a << "]";
        out << "\n";
    }
    return out.str();
}

} // namespace qzdumptest
