// Helpers of the ACL and descriptor suites: descriptors from SDDL through the
// system's own conversion, the SDDL of ACLs and descriptors as the oracle,
// and the lines a text sink collected.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "common/security/security.h"
#include "common/util/scoped.h"
#include "testing/harness/harness.h"

namespace acltest
{

using Lines = std::vector<std::wstring>;

const SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION |
                                       LABEL_SECURITY_INFORMATION;

// A self-relative descriptor made by the system from SDDL (LocalFree'd).
class SddlDescriptor
{
public:
    explicit SddlDescriptor(const wchar_t* sddl)
    {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, m_sd.Receive(), &m_size);
    }
    PSECURITY_DESCRIPTOR Get() const { return m_sd.Get(); }
    DWORD Size() const { return m_size; }

private:
    CqzScopedLocal<void> m_sd;
    ULONG m_size = 0;
};

// The SDDL the system gives for a descriptor made from this SDDL: the
// canonical spelling of an expectation.
inline std::string Canonical(const wchar_t* sddl, SECURITY_INFORMATION parts = kAllParts)
{
    SddlDescriptor sd(sddl);
    return sd.Get() ? qztest::SddlOf(sd.Get(), parts) : "(bad sddl)";
}

// The SDDL of a DACL ("D:..."): put into an absolute descriptor of its own.
inline std::string DaclSddl(const ACL* acl, bool present = true)
{
    SECURITY_DESCRIPTOR sd = {};
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&sd, present, const_cast<PACL>(acl), FALSE);
    return qztest::SddlOf(&sd, DACL_SECURITY_INFORMATION);
}

inline std::string DaclSddl(const CDacl& dacl)
{
    return DaclSddl(dacl.GetPACL());
}

inline CDacl DaclOf(const wchar_t* sddl)
{
    SddlDescriptor sd(sddl);
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ::GetSecurityDescriptorDacl(sd.Get(), &present, &acl, &defaulted);
    return CDacl(acl);
}

inline CSid SidOf(const wchar_t* text)
{
    CqzSid sid;
    sid.LoadAccountBySidString(text);
    return sid;
}

inline std::wstring TraceOf(const wchar_t* sidText)
{
    return CqzSid(SidOf(sidText)).GetTraceString();
}

inline Lines LinesOf(const CqzStringTextSink& sink)
{
    Lines lines;
    std::string problem;
    if (!qztest::SplitCrLfLines(sink.Text(), lines, &problem))
        lines.push_back(L"(not CRLF lines: " + qztest::FromUtf8(problem) + L")");
    return lines;
}

inline Lines DumpOf(const CqzSecurityDesc& sd)
{
    CqzStringTextSink sink;
    sd.DumpSecurityDescriptor(sink);
    return LinesOf(sink);
}

inline Lines DumpAclOf(const ACL* acl)
{
    CqzStringTextSink sink;
    CqzSecurityDesc::DumpAcl(acl, sink);
    return LinesOf(sink);
}

inline std::string Narrow(const std::wstring& text)
{
    return qztest::ToUtf8(text);
}

inline std::string Narrow(const Lines& lines)
{
    std::string text;
    for (const std::wstring& line : lines)
        text += qztest::ToUtf8(line) + "\n";
    return text;
}

} // namespace acltest
