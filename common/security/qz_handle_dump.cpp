// The dumps shared by every handle class: the access and security lines
// (DumpInfo), the window-object and registry-key dumps, and the dump file.
#include "common/security/qz_handle.h"
#include "common/security/qz_handle_dump_internal.h"
#include "common/security/security.h"
#include "common/util/util.h"

#include "trace/trace.h"

#include <cwchar>

namespace
{

const char* const kWindowClass = "CqzWindowObjectHandle";
const char* const kRegistryClass = "CqzRegistryKeyHandle";

// What DumpInfo reads of the descriptor: owner, group, DACL and label.
const SECURITY_INFORMATION kDumpSecurityFlags =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

// READ_CONTROL | ACCESS_SYSTEM_SECURITY: the descriptor, SACL included.
const REGSAM kKeyDumpAccess = READ_CONTROL | ACCESS_SYSTEM_SECURITY;

} // namespace

namespace qzdump
{

CqzDumpFile::CqzDumpFile(const wchar_t* path, const char* className)
    : m_file(CqzFileTextSink::CreateReportFile(path != nullptr ? path : L"")), m_sink(m_file.Get())
{
    const wchar_t* shownPath = path != nullptr ? path : L"";
    if (!m_file.IsValid())
    {
        const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        QZTRACE(QZT_ERROR, className,
                "ERROR: Failed to open dump file " << shownPath << " for writing. hr=" << static_cast<long>(hr));
        return;
    }
    if (!m_sink.WriteByteOrderMark())
    {
        QZTRACE(QZT_ERROR, className, "ERROR: Failed to write to file " << shownPath);
        return;
    }
    m_open = true;
}

std::wstring JoinFlagNames(DWORD value, const FlagName* names, size_t count)
{
    return value == 0 ? std::wstring(L"NULL") : CqzJoinFlagNames(value, names, count);
}

void DumpNamedObjectSecurity(const wchar_t* path, CqzTextSink& sink)
{
    CqzScopedLocal<void> descriptor;
    const std::wstring longPath = CqzUtil::MakeLongPath(path);
    const DWORD result = ::GetNamedSecurityInfoW(longPath.c_str(), SE_FILE_OBJECT, kDumpSecurityFlags, nullptr, nullptr,
                                                 nullptr, nullptr, descriptor.Receive());
    if (result != ERROR_SUCCESS)
    {
        sink.PrintfLine(L"  NAMED OBJECT SECURITY: Unable to get security. Error %d", static_cast<int>(result));
        return;
    }
    if (!descriptor.IsValid())
    {
        sink.PrintfLine(L"  NAMED OBJECT SECURITY_DESCRIPTOR is NULL");
        return;
    }
    sink.PrintfLine(L"   NAMED OBJECT SECURITY:");
    const CqzSecurityDesc copy(descriptor.Get());
    copy.DumpSecurityDescriptor(sink);
}

} // namespace qzdump

void CqzHandle::DumpInfo(CqzTextSink& sink)
{
    ACCESS_MASK granted = 0;
    if (GetGrantedAccess(granted))
        sink.PrintfLine(L"   OBJECT ACCESS GRANTED: 0x%.8X", static_cast<unsigned>(granted));
    else
        sink.PrintfLine(L"   OBJECT ACCESS GRANTED: Unable to get granted access. Error %d",
                        static_cast<int>(m_dwLastError));

    ACCESS_MASK maxAllowed = 0;
    if (GetMaxAllowedAccess(maxAllowed))
        sink.PrintfLine(L"   OBJECT ACCESS MAX ALLOWED: 0x%.8X", static_cast<unsigned>(maxAllowed));
    else
        sink.PrintfLine(L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error %d",
                        static_cast<int>(m_dwLastError));

    CqzScopedLocal<void> descriptor;
    if (!_GetSecurityInfo(kDumpSecurityFlags, nullptr, nullptr, nullptr, nullptr, descriptor))
    {
        sink.PrintfLine(L"  OBJECT SECURITY: Unable to get security. Error %d", static_cast<int>(m_dwLastError));
        return;
    }
    if (!descriptor.IsValid())
    {
        sink.PrintfLine(L"  SECURITY_DESCRIPTOR is NULL");
        return;
    }
    const CqzSecurityDesc copy(descriptor.Get());
    copy.DumpSecurityDescriptor(sink);
}

void CqzFileObjectHandle::DumpInfo(CqzTextSink& sink)
{
    CqzHandle::DumpInfo(sink);
}

void CqzWindowObjectHandle::DumpInfo(CqzTextSink& sink)
{
    std::wstring type;
    if (GetUserObjectType(type))
        sink.PrintfLine(L"   USER OBJECT TYPE: %s", type.c_str());
    else
        sink.PrintfLine(L"   USER OBJECT TYPE: Error %d", static_cast<int>(m_dwLastError));
    std::wstring name;
    if (GetUserObjectName(name))
        sink.PrintfLine(L"   USER OBJECT NAME: %s", name.c_str());
    else
        sink.PrintfLine(L"   USER OBJECT NAME: Error %d", static_cast<int>(m_dwLastError));
    CqzHandle::DumpInfo(sink);
}

void CqzWindowObjectHandle::Dump(const wchar_t* dumpPath)
{
    QZ_STACK_NAME("Dump", kWindowClass);
    qzdump::CqzDumpFile file(dumpPath, kWindowClass);
    if (file.IsOpen())
        DumpInfo(file.Sink());
}

void CqzRegistryKeyHandle::Dump(HKEY rootKey, const wchar_t* subKey, const wchar_t* dumpPath)
{
    QZ_STACK_NAME("Dump", kRegistryClass);
    qzdump::CqzDumpFile file(dumpPath, kRegistryClass);
    if (!file.IsOpen())
        return;
    CqzTextSink& sink = file.Sink();
    sink.PrintfLine(L"*** Registry Key Info start ***\r\n\r\nPATH: %p\\%s", static_cast<void*>(rootKey),
                    subKey != nullptr ? subKey : L"");
    CqzScopedRegKey key;
    const LONG result = ::RegOpenKeyExW(rootKey, subKey, 0, kKeyDumpAccess, key.Receive());
    if (result != ERROR_SUCCESS)
    {
        sink.PrintfLine(L"   RegOpenKeyEx error: %d", static_cast<int>(result));
    }
    else
    {
        CqzRegistryKeyHandle handle(key.Get());
        handle.DumpInfo(sink);
    }
    sink.PrintfLine(L"\r\n*** Registry Key Info end ***\r\n");
}
