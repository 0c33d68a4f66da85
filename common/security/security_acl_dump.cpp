// Texts of ACLs and security descriptors, and their names of types, flags
// and control bits.
#include "common/security/security.h"

#include <cwchar>

#include "common/atl/atl_ace_layout.h"
#include "common/util/flag_names.h"

namespace
{

void PrintMaskAceLine(CqzTextSink& sink, DWORD index, BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid)
{
    const std::wstring sidText = CqzSid::GetTraceString(sid);
    const wchar_t* typeName = CqzSecurityDesc::GetAceTypeName(type);
    if (flags == 0)
        sink.PrintfLine(L"      ACE %.2d: type=[%d=%s] flags=[0] mask=[%.8X] [%s]", index, type, typeName, mask,
                        sidText.c_str());
    else
        sink.PrintfLine(L"      ACE %.2d: type=[%d=%s] flags=[0x%.2X=%s] mask=[%.8X] [%s]", index, type, typeName,
                        flags, CqzSecurityDesc::GetAceFlagsString(flags).c_str(), mask, sidText.c_str());
}

// Whether every ACE of the ACL can be read within its AclSize.
bool AclIsReadable(const ACL* acl)
{
    return acl == nullptr || qzacl::WalkAcl(
                                 acl, [](DWORD, const qzacl::AceView&) {}, [](DWORD) {});
}

} // namespace

const wchar_t* CqzSecurityDesc::GetAceTypeName(BYTE aceType)
{
    static const wchar_t* const kNames[] = {
        L"ACCESS_ALLOWED",
        L"ACCESS_DENIED",
        L"SYSTEM_AUDIT",
        L"SYSTEM_ALARM",
        L"ACCESS_ALLOWED_COMPOUND",
        L"ACCESS_ALLOWED_OBJECT",
        L"ACCESS_DENIED_OBJECT",
        L"SYSTEM_AUDIT_OBJECT",
        L"SYSTEM_ALARM_OBJECT",
        L"ACCESS_ALLOWED_CALLBACK",
        L"ACCESS_DENIED_CALLBACK",
        L"ACCESS_ALLOWED_CALLBACK_OBJECT",
        L"ACCESS_DENIED_CALLBACK_OBJECT",
        L"SYSTEM_AUDIT_CALLBACK",
        L"SYSTEM_ALARM_CALLBACK",
        L" SYSTEM_AUDIT_CALLBACK_OBJECT",
        L"SYSTEM_ALARM_CALLBACK_OBJECT",
        L"SYSTEM_MANDATORY_LABEL",
    };
    return aceType < sizeof(kNames) / sizeof(kNames[0]) ? kNames[aceType] : L"Unknown";
}

std::wstring CqzSecurityDesc::GetAceFlagsString(BYTE aceFlags)
{
    // 0x20 has no name of its own; it comes out in hexadecimal.
    static const CqzFlagName kFlags[] = {
        {OBJECT_INHERIT_ACE, L"OBJECT_INHERIT"},
        {CONTAINER_INHERIT_ACE, L"CONTAINER_INHERIT"},
        {NO_PROPAGATE_INHERIT_ACE, L"NO_PROPAGATE_INHERIT"},
        {INHERIT_ONLY_ACE, L"INHERIT_ONLY"},
        {INHERITED_ACE, L"INHERITED"},
        {SUCCESSFUL_ACCESS_ACE_FLAG, L"SUCCESSFUL_ACCESS"},
        {FAILED_ACCESS_ACE_FLAG, L"FAILED_ACCESS"},
    };
    if (aceFlags == 0)
        return L"0";
    return CqzJoinFlagNames(aceFlags, kFlags, L"0x%.2X");
}

std::wstring CqzSecurityDesc::GetControlString(SECURITY_DESCRIPTOR_CONTROL control)
{
    static const CqzFlagName kBits[] = {
        {SE_OWNER_DEFAULTED, L"OWNER_DEFAULTED"},
        {SE_GROUP_DEFAULTED, L"GROUP_DEFAULTED"},
        {SE_DACL_PRESENT, L"DACL_PRESENT"},
        {SE_DACL_DEFAULTED, L"DACL_DEFAULTED"},
        {SE_SACL_PRESENT, L"SACL_PRESENT"},
        {SE_SACL_DEFAULTED, L"SACL_DEFAULTED"},
        {SE_DACL_AUTO_INHERIT_REQ, L"DACL_AUTO_INHERIT_REQ"},
        {SE_SACL_AUTO_INHERIT_REQ, L"SACL_AUTO_INHERIT_REQ"},
        {SE_DACL_AUTO_INHERITED, L"DACL_AUTO_INHERITED"},
        {SE_SACL_AUTO_INHERITED, L"SACL_AUTO_INHERITED"},
        {SE_DACL_PROTECTED, L"DACL_PROTECTED"},
        {SE_SACL_PROTECTED, L"SACL_PROTECTED"},
        {SE_RM_CONTROL_VALID, L"RM_CONTROL_VALID"},
        {SE_SELF_RELATIVE, L"SELF_RELATIVE"},
    };
    if (control == 0)
        return L"NULL";
    return CqzJoinFlagNames(control, kBits);
}

void CqzSecurityDesc::DumpAcl(const ACL* acl, CqzTextSink& sink)
{
    if (acl == nullptr)
    {
        sink.PrintfLine(L"   PACL is NULL");
        return;
    }
    sink.PrintfLine(L"   ACL contains %d ACEs",
                    static_cast<int>(qzacl::ReadWord(reinterpret_cast<const BYTE*>(acl) + 4)));
    qzacl::WalkAcl(
        acl,
        [&](DWORD index, const qzacl::AceView& ace)
        {
            if (qzacl::IsMaskSidAceType(ace.type))
                PrintMaskAceLine(sink, index, ace.type, ace.flags, ace.mask,
                                 reinterpret_cast<PSID>(const_cast<BYTE*>(ace.sid)));
            else if (ace.flags == 0)
                sink.PrintfLine(L"      ACE %.2d: type=[%d=%s] flags=[0]", index, ace.type, GetAceTypeName(ace.type));
            else
                sink.PrintfLine(L"      ACE %.2d: type=[%d=%s] flags=[0x%.2X=%s]", index, ace.type,
                                GetAceTypeName(ace.type), ace.flags, GetAceFlagsString(ace.flags).c_str());
        },
        [&](DWORD index) { sink.PrintfLine(L"      ACE %.2d: ERROR", index); });
}

void CqzDacl::DumpDacl(CqzTextSink& sink) const
{
    const UINT count = GetAceCount();
    sink.PrintfLine(L"   DACL contains %d ACEs", static_cast<int>(count));
    for (UINT i = 0; i < count; ++i)
    {
        CSid sid;
        ACCESS_MASK mask = 0;
        BYTE type = 0;
        BYTE flags = 0;
        GetAclEntry(i, &sid, &mask, &type, &flags);
        PrintMaskAceLine(sink, i, type, flags, mask, sid.GetPSID());
    }
}

void CqzSecurityDesc::DumpSecurityDescriptor(CqzTextSink& sink) const
{
    if (m_pSecurityDescriptor == nullptr)
    {
        sink.PrintfLine(L"   SECURITY DESCRIPTOR pointer is NULL");
        return;
    }
    const ACL* dacl = nullptr;
    const ACL* sacl = nullptr;
    bool daclPresent = false, daclDefaulted = false, saclPresent = false, saclDefaulted = false;
    const bool daclRead = GetDacl(&dacl, &daclPresent, &daclDefaulted);
    const bool saclRead = GetSacl(&sacl, &saclPresent, &saclDefaulted);

    // The system's conversion walks the ACEs without bounds of its own: it
    // only gets ACLs that were found readable.
    std::wstring text;
    if (daclRead && saclRead && AclIsReadable(dacl) && AclIsReadable(sacl) && ToString(&text))
        sink.PrintfLine(L"   SECURITY DESCRIPTOR: %s", text.c_str());
    else
        sink.PrintfLine(L"   SECURITY DESCRIPTOR: ToString() failed");

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    if (GetControl(&control))
        sink.PrintfLine(L"   SECURITY_DESCRIPTOR_CONTROL: 0x%.4X (%s)", static_cast<unsigned int>(control),
                        GetControlString(control).c_str());
    else
        sink.PrintfLine(L"   SECURITY_DESCRIPTOR_CONTROL: GetControl() failed");

    // Owner and group: the SID's trace string, or what failed.
    const struct
    {
        bool (CSecurityDesc::*get)(PSID*, bool*) const;
        const wchar_t* line;
        const wchar_t* failedLine;
    } sids[] = {
        {&CSecurityDesc::GetOwner, L"   OWNER: %s%s", L"   OWNER: GetOwner() failed"},
        {&CSecurityDesc::GetGroup, L"   GROUP: %s%s", L"   GROUP: GetGroup() failed"},
    };
    for (const auto& part : sids)
    {
        PSID sid = nullptr;
        bool defaulted = false;
        if ((this->*part.get)(&sid, &defaulted))
            sink.PrintfLine(part.line, CqzSid::GetTraceString(sid).c_str(), defaulted ? L" (defaulted)" : L"");
        else
            sink.PrintfLine(L"%s", part.failedLine);
    }

    struct AclPart
    {
        const wchar_t* name;
        bool read;
        bool present;
        bool defaulted;
        const ACL* acl;
        const wchar_t* failedLine;
    };
    const AclPart parts[] = {
        {L"DACL", daclRead, daclPresent, daclDefaulted, dacl, L"   DACL: GetDacl() failed"},
        {L"SACL", saclRead, saclPresent, saclDefaulted, sacl, L"   SACL: GetSecurityDescriptorSacl() failed"},
    };
    for (const AclPart& part : parts)
    {
        if (!part.read)
        {
            sink.PrintfLine(L"%s", part.failedLine);
            continue;
        }
        sink.PrintfLine(L"   %s: %spresent%s", part.name, part.present ? L"" : L"not",
                        part.defaulted ? L" (defaulted)" : L"");
        if (!part.present)
            continue;
        if (part.acl == nullptr)
            sink.PrintfLine(L"   %s : <NULL>", part.name);
        else
            DumpAcl(part.acl, sink);
    }
}
