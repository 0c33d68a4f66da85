// CSecurityDesc and CqzSecurityDesc: copies and forms, owner/group/DACL
// access, the rendering checked against the system's SDDL for descriptors
// built in memory and read from real objects, and the maximum allowed access.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/cust_cmd/cust_cmd.h"
#include "tests/acl/acl_test_util.h"

using acltest::Canonical;
using acltest::DumpOf;
using acltest::Lines;
using acltest::Narrow;
using acltest::SddlDescriptor;
using acltest::SidOf;
using acltest::TraceOf;
using qztest::EntriesOf;
using qztest::TraceEntries;

namespace
{

std::wstring Wide(const std::string& text)
{
    return qztest::FromUtf8(text);
}

// The first line a rendering must have: the system's own SDDL of the same
// descriptor, all parts.
std::wstring OracleLine(PSECURITY_DESCRIPTOR sd)
{
    return L"   SECURITY DESCRIPTOR: " + Wide(qztest::SddlOf(sd, acltest::kAllParts));
}

void ExpectFirstLineIsSddl(PSECURITY_DESCRIPTOR raw, const std::string& what)
{
    ASSERT_NE(raw, nullptr) << what;
    CqzSecurityDesc sd(raw);
    ASSERT_NE(sd.GetPSECURITY_DESCRIPTOR(), nullptr) << what;
    const Lines lines = DumpOf(sd);
    ASSERT_FALSE(lines.empty()) << what;
    EXPECT_EQ(lines[0], OracleLine(raw)) << what;
    // The absolute form says the same.
    ASSERT_TRUE(sd.MakeAbsolute()) << what;
    EXPECT_EQ(DumpOf(sd)[0], OracleLine(raw)) << what << " (absolute)";
}

TEST(SecurityDescDumpTest, FirstLineIsTheSddlOfDescriptorsInMemory)
{
    for (const wchar_t* sddl : {
             L"O:SYG:SYD:(A;;GA;;;SY)",
             L"O:BAG:BUD:(D;;0x4;;;BU)(A;OICI;0x1f01ff;;;BA)(A;ID;GR;;;WD)",
             L"D:PAI(A;;GA;;;SY)",
             L"O:SY",
             L"D:",
             L"D:NO_ACCESS_CONTROL",
             L"S:(ML;;NW;;;HI)",
             L"O:SYG:SYD:(A;;GA;;;SY)S:(AU;SAFA;GA;;;WD)(ML;CIOI;NWNR;;;LW)",
         })
    {
        SddlDescriptor raw(sddl);
        ExpectFirstLineIsSddl(raw.Get(), Narrow(sddl));
    }
}

// The descriptor of a kernel object, read back with GetSecurityInfo
// (LocalFree'd).
CqzScopedLocal<void> ObjectDescriptor(HANDLE object, SE_OBJECT_TYPE type,
                                      SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION |
                                                                   GROUP_SECURITY_INFORMATION |
                                                                   DACL_SECURITY_INFORMATION)
{
    CqzScopedLocal<void> sd;
    ::GetSecurityInfo(object, type, parts, nullptr, nullptr, nullptr, nullptr, sd.Receive());
    return sd;
}

TEST(SecurityDescDumpTest, FirstLineIsTheSddlOfRealObjects)
{
    SddlDescriptor made(L"O:BAG:SYD:(A;;GA;;;SY)(A;;0x1f0001;;;WD)");
    SECURITY_ATTRIBUTES sa = {sizeof(sa), made.Get(), FALSE};
    qztest::ScopedHandle mutex(::CreateMutexW(&sa, FALSE, nullptr));
    ASSERT_TRUE(mutex.IsValid());
    CqzScopedLocal<void> mutexSd = ObjectDescriptor(mutex.Get(), SE_KERNEL_OBJECT);
    ExpectFirstLineIsSddl(mutexSd.Get(), "mutex");
    EXPECT_EQ(qztest::SddlOf(mutexSd.Get(), acltest::kAllParts), qztest::SddlOf(made.Get(), acltest::kAllParts))
        << "Wine keeps the descriptor it was given";

    qztest::ScopedHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 4096, nullptr));
    ASSERT_TRUE(section.IsValid());
    ExpectFirstLineIsSddl(ObjectDescriptor(section.Get(), SE_KERNEL_OBJECT).Get(), "section");

    qztest::TempDir dir(L"qzacl");
    qztest::ScopedHandle file(::CreateFileW((dir / L"f.txt").c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0,
                                            &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.IsValid());
    ExpectFirstLineIsSddl(ObjectDescriptor(file.Get(), SE_FILE_OBJECT).Get(), "file");

    qztest::ScopedHandle token = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(token.IsValid());
    ExpectFirstLineIsSddl(ObjectDescriptor(token.Get(), SE_KERNEL_OBJECT).Get(), "token");
    ExpectFirstLineIsSddl(ObjectDescriptor(::GetCurrentProcess(), SE_KERNEL_OBJECT).Get(), "process");
}

struct DumpRow
{
    const char* name;
    const wchar_t* sddl;
    Lines lines; // after the first line, which is the oracle's
};

TEST(SecurityDescDumpTest, RendersEveryLine)
{
    const std::wstring sy = TraceOf(L"S-1-5-18"), ba = TraceOf(L"S-1-5-32-544"), wd = TraceOf(L"S-1-1-0");
    const std::vector<DumpRow> rows = {
        {"owner, group, one ACE",
         L"O:SYG:BAD:(A;;0x1f0003;;;WD)",
         {L"   SECURITY_DESCRIPTOR_CONTROL: 0x8004 (DACL_PRESENT|SELF_RELATIVE)", L"   OWNER: " + sy,
          L"   GROUP: " + ba, L"   DACL: present", L"   ACL contains 1 ACEs",
          L"      ACE 00: type=[0=ACCESS_ALLOWED] flags=[0] mask=[001F0003] [" + wd + L"]", L"   SACL: notpresent"}},
        {"no owner, group or DACL",
         L"",
         {L"   SECURITY_DESCRIPTOR_CONTROL: 0x8000 (SELF_RELATIVE)", L"   OWNER: PSID=[NULL]", L"   GROUP: PSID=[NULL]",
          L"   DACL: notpresent", L"   SACL: notpresent"}},
        {"empty, protected, auto-inherited DACL",
         L"D:PAI",
         {L"   SECURITY_DESCRIPTOR_CONTROL: 0x9404 (DACL_PRESENT|DACL_AUTO_INHERITED|DACL_PROTECTED|SELF_RELATIVE)",
          L"   OWNER: PSID=[NULL]", L"   GROUP: PSID=[NULL]", L"   DACL: present", L"   ACL contains 0 ACEs",
          L"   SACL: notpresent"}},
        {"inherited and denied ACEs",
         L"D:(D;;0x4;;;BA)(A;OICIID;GA;;;SY)",
         {L"   SECURITY_DESCRIPTOR_CONTROL: 0x8004 (DACL_PRESENT|SELF_RELATIVE)", L"   OWNER: PSID=[NULL]",
          L"   GROUP: PSID=[NULL]", L"   DACL: present", L"   ACL contains 2 ACEs",
          L"      ACE 00: type=[1=ACCESS_DENIED] flags=[0] mask=[00000004] [" + ba + L"]",
          L"      ACE 01: type=[0=ACCESS_ALLOWED] flags=[0x13=OBJECT_INHERIT|CONTAINER_INHERIT|INHERITED] "
          L"mask=[10000000] [" +
              sy + L"]",
          L"   SACL: notpresent"}},
        {"SACL with audit and labels",
         L"S:(AU;SAFA;GA;;;WD)(ML;;NW;;;HI)(ML;CI;NRNX;;;LW)",
         {L"   SECURITY_DESCRIPTOR_CONTROL: 0x8010 (SACL_PRESENT|SELF_RELATIVE)", L"   OWNER: PSID=[NULL]",
          L"   GROUP: PSID=[NULL]", L"   DACL: notpresent", L"   SACL: present", L"   ACL contains 3 ACEs",
          L"      ACE 00: type=[2=SYSTEM_AUDIT] flags=[0xC0=SUCCESSFUL_ACCESS|FAILED_ACCESS] mask=[10000000] [" + wd +
              L"]",
          L"      ACE 01: type=[17=SYSTEM_MANDATORY_LABEL] flags=[0] mask=[00000001] [" + TraceOf(L"S-1-16-12288") +
              L"]",
          L"      ACE 02: type=[17=SYSTEM_MANDATORY_LABEL] flags=[0x02=CONTAINER_INHERIT] mask=[00000006] [" +
              TraceOf(L"S-1-16-4096") + L"]"}},
    };
    for (const DumpRow& row : rows)
    {
        SddlDescriptor raw(row.sddl);
        ASSERT_NE(raw.Get(), nullptr) << row.name;
        Lines expected = row.lines;
        expected.insert(expected.begin(), OracleLine(raw.Get()));
        const CqzSecurityDesc sd(raw.Get());
        EXPECT_EQ(DumpOf(sd), expected) << row.name;
    }
}

TEST(SecurityDescDumpTest, RendersDefaultedPartsAndObjectAces)
{
    // Built through the class: defaulted owner, group and DACL, and a DACL
    // holding an object ACE and a compound-type ACE (neither has a mask line).
    CqzSecurityDesc sd;
    ASSERT_TRUE(sd.SetOwner(SidOf(L"S-1-5-18"), true));
    ASSERT_TRUE(sd.SetGroup(SidOf(L"S-1-5-32-544"), true));
    const CSid everyone = SidOf(L"S-1-1-0");
    std::vector<BYTE> acl(sizeof(ACL) + 12 + everyone.GetLength() + 8);
    ACL header = {ACL_REVISION_DS, 0, static_cast<WORD>(acl.size()), 2, 0};
    std::memcpy(acl.data(), &header, sizeof(header));
    BYTE* object = acl.data() + sizeof(ACL);
    const WORD objectSize = static_cast<WORD>(12 + everyone.GetLength());
    object[0] = ACCESS_DENIED_OBJECT_ACE_TYPE;
    object[1] = INHERITED_ACE;
    std::memcpy(object + 2, &objectSize, 2);
    std::memcpy(object + 12, everyone.GetPSID(), everyone.GetLength());
    BYTE* compound = object + objectSize;
    compound[0] = ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
    compound[2] = 8;
    ASSERT_TRUE(sd.SetDacl(CDacl(reinterpret_cast<const ACL*>(acl.data())), true));
    const Lines lines = DumpOf(sd);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(
        Lines(lines.begin() + 1, lines.end()),
        (Lines{L"   SECURITY_DESCRIPTOR_CONTROL: 0x000F (OWNER_DEFAULTED|GROUP_DEFAULTED|DACL_PRESENT|DACL_DEFAULTED)",
               L"   OWNER: " + TraceOf(L"S-1-5-18") + L" (defaulted)",
               L"   GROUP: " + TraceOf(L"S-1-5-32-544") + L" (defaulted)", L"   DACL: present (defaulted)",
               L"   ACL contains 2 ACEs", L"      ACE 00: type=[6=ACCESS_DENIED_OBJECT] flags=[0x10=INHERITED]",
               L"      ACE 01: type=[4=ACCESS_ALLOWED_COMPOUND] flags=[0]", L"   SACL: notpresent"}));
}

// Wine's SDDL reader makes an empty DACL of "NO_ACCESS_CONTROL": the null
// DACL is built by hand, in both forms.
TEST(SecurityDescDumpTest, RendersANullDacl)
{
    const Lines rest = {L"   OWNER: PSID=[NULL]", L"   GROUP: PSID=[NULL]", L"   DACL: present", L"   DACL : <NULL>",
                        L"   SACL: notpresent"};
    SECURITY_DESCRIPTOR_RELATIVE header = {
        SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE | SE_DACL_PRESENT, 0, 0, 0, 0};
    CqzSecurityDesc relative;
    ASSERT_TRUE(relative.CopySelfRelative(&header, sizeof(header)));
    Lines expected = rest;
    expected.insert(expected.begin(), L"   SECURITY_DESCRIPTOR_CONTROL: 0x8004 (DACL_PRESENT|SELF_RELATIVE)");
    expected.insert(expected.begin(), OracleLine(&header));
    EXPECT_EQ(DumpOf(relative), expected);

    CqzSecurityDesc absolute;
    CDacl nullDacl;
    nullDacl.SetNull();
    ASSERT_TRUE(absolute.SetDacl(nullDacl));
    expected = rest;
    expected.insert(expected.begin(), L"   SECURITY_DESCRIPTOR_CONTROL: 0x0004 (DACL_PRESENT)");
    expected.insert(expected.begin(), OracleLine(absolute.GetPSECURITY_DESCRIPTOR()));
    EXPECT_EQ(DumpOf(absolute), expected);
}

TEST(SecurityDescDumpTest, NullDescriptorAndNullAcl)
{
    EXPECT_EQ(DumpOf(CqzSecurityDesc()), Lines{L"   SECURITY DESCRIPTOR pointer is NULL"});
    EXPECT_EQ(acltest::DumpAclOf(nullptr), Lines{L"   PACL is NULL"});
}

// ---------------------------------------------------------------------------
// Copies, forms and parts
// ---------------------------------------------------------------------------

TEST(SecurityDescTest, CopiesAndAssignments)
{
    SddlDescriptor a(L"O:SYG:BAD:(A;;GA;;;SY)S:(ML;;NW;;;LW)");
    SddlDescriptor b(L"O:BAD:(A;;GR;;;WD)");
    const std::string sddlA = qztest::SddlOf(a.Get(), acltest::kAllParts);
    const std::string sddlB = qztest::SddlOf(b.Get(), acltest::kAllParts);

    CqzSecurityDesc sd(a.Get());
    ASSERT_TRUE(sd.IsSelfRelative());
    EXPECT_EQ(sd.GetSelfRelativeSize(), ::GetSecurityDescriptorLength(a.Get()));
    EXPECT_NE(sd.GetPSECURITY_DESCRIPTOR(), a.Get()) << "a copy";
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), sddlA);

    sd = b.Get();
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), sddlB);

    CqzSecurityDesc absolute(a.Get());
    ASSERT_TRUE(absolute.MakeAbsolute());
    EXPECT_FALSE(absolute.IsSelfRelative());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    ASSERT_TRUE(absolute.GetControl(&control));
    EXPECT_EQ(control, SE_DACL_PRESENT | SE_SACL_PRESENT);
    sd = absolute; // from an absolute descriptor
    EXPECT_FALSE(sd.IsSelfRelative());
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), sddlA);
    const CqzSecurityDesc copy(sd);
    EXPECT_NE(copy.GetPSECURITY_DESCRIPTOR(), sd.GetPSECURITY_DESCRIPTOR());
    EXPECT_EQ(qztest::SddlOf(copy.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), sddlA);
    sd = sd; // self-assignment keeps it
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), sddlA);
    sd = sd.GetPSECURITY_DESCRIPTOR(); // copying its own descriptor too
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), sddlA);

    sd = static_cast<const void*>(nullptr);
    EXPECT_EQ(sd.GetPSECURITY_DESCRIPTOR(), nullptr);
}

TEST(SecurityDescTest, RefusesMalformedDescriptors)
{
    SddlDescriptor good(L"O:SYG:BAD:(A;;GA;;;SY)");
    const DWORD size = ::GetSecurityDescriptorLength(good.Get());
    std::vector<BYTE> bytes(static_cast<BYTE*>(good.Get()), static_cast<BYTE*>(good.Get()) + size);
    const struct
    {
        const char* name;
        size_t offset;
        BYTE value;
    } rows[] = {
        {"revision 2", 0, 2},
        {"owner offset past the end", 5, 0x10},
        {"owner offset unaligned", 4, 21},
        {"owner offset inside the header", 4, 4},
    };
    for (const auto& row : rows)
    {
        std::vector<BYTE> bad = bytes;
        bad[row.offset] = row.value;
        CqzSecurityDesc sd(good.Get());
        ::SetLastError(0);
        EXPECT_FALSE(sd.CopySelfRelative(bad.data(), size)) << row.name;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR)) << row.name;
        EXPECT_EQ(sd.GetPSECURITY_DESCRIPTOR(), nullptr) << row.name << ": cleared";
    }
    CqzSecurityDesc sd;
    EXPECT_FALSE(sd.CopySelfRelative(bytes.data(), size - 1)) << "the DACL ends past the size";
    EXPECT_TRUE(sd.CopySelfRelative(bytes.data(), size));
    EXPECT_FALSE(sd.GetOwner(static_cast<CSid*>(nullptr)) && false);
    CSid owner;
    EXPECT_FALSE(CqzSecurityDesc().GetOwner(&owner));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

TEST(SecurityDescTest, OwnerGroupDaclAndSacl)
{
    SddlDescriptor raw(L"O:SYG:BAD:(A;;GA;;;SY)");
    CqzSecurityDesc sd(raw.Get());
    CSid owner, group;
    bool defaulted = true;
    ASSERT_TRUE(sd.GetOwner(&owner, &defaulted));
    EXPECT_EQ(owner, SidOf(L"S-1-5-18"));
    EXPECT_FALSE(defaulted);
    ASSERT_TRUE(sd.GetGroup(&group));
    EXPECT_EQ(group, SidOf(L"S-1-5-32-544"));

    CDacl dacl;
    bool present = false;
    ASSERT_TRUE(sd.GetDacl(&dacl, &present, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(acltest::DaclSddl(dacl), Canonical(L"D:(A;;GA;;;SY)", DACL_SECURITY_INFORMATION));
    ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-1-0"), GENERIC_READ));
    ASSERT_TRUE(sd.SetDacl(dacl));
    ASSERT_TRUE(sd.SetOwner(SidOf(L"S-1-5-32-544")));
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts),
              Canonical(L"O:BAG:BAD:(A;;GA;;;SY)(A;;GR;;;WD)"));
    const ACL* sacl = reinterpret_cast<const ACL*>(1);
    ASSERT_TRUE(sd.GetSacl(&sacl, &present));
    EXPECT_EQ(sacl, nullptr);
    EXPECT_FALSE(present);

    CDacl nullDacl;
    nullDacl.SetNull();
    ASSERT_TRUE(sd.SetDacl(nullDacl));
    ASSERT_TRUE(sd.GetDacl(&dacl, &present));
    EXPECT_TRUE(present);
    EXPECT_TRUE(dacl.IsNull());
    EXPECT_FALSE(sd.SetOwner(CSid()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));

    std::wstring text;
    ASSERT_TRUE(sd.ToString(&text, OWNER_SECURITY_INFORMATION));
    EXPECT_EQ(text, L"O:BA");
    EXPECT_FALSE(CqzSecurityDesc().ToString(&text));
}

// The channel's LocalSystem-only descriptor, as it was built with plain
// advapi32 calls before: the same DACL and nothing else.
TEST(SecurityDescTest, LocalSystemChannelDescriptor)
{
    alignas(DWORD) BYTE dacl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + 12] = {};
    const CSid system = SidOf(L"S-1-5-18");
    ASSERT_TRUE(::InitializeAcl(reinterpret_cast<PACL>(dacl), sizeof(dacl), ACL_REVISION));
    ASSERT_TRUE(::AddAccessAllowedAceEx(reinterpret_cast<PACL>(dacl), ACL_REVISION, 0, GENERIC_ALL, system.GetPSID()));
    SECURITY_DESCRIPTOR model = {};
    ASSERT_TRUE(::InitializeSecurityDescriptor(&model, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&model, TRUE, reinterpret_cast<PACL>(dacl), FALSE));

    CqzLocalSystemSecurity security;
    ASSERT_TRUE(security.IsReady());
    SECURITY_ATTRIBUTES* sa = security.Get();
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(sa->bInheritHandle);
    EXPECT_EQ(qztest::SddlOf(sa->lpSecurityDescriptor, acltest::kAllParts), qztest::SddlOf(&model, acltest::kAllParts));
    EXPECT_EQ(qztest::SddlOf(sa->lpSecurityDescriptor, acltest::kAllParts), "D:(A;;GA;;;SY)");
    SECURITY_DESCRIPTOR_CONTROL control = 0, modelControl = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(sa->lpSecurityDescriptor, &control, &revision));
    ASSERT_TRUE(::GetSecurityDescriptorControl(&model, &modelControl, &revision));
    EXPECT_EQ(control, modelControl);
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &acl, &defaulted));
    ASSERT_NE(acl, nullptr);
    ASSERT_EQ(acl->AclSize, sizeof(dacl));
    EXPECT_EQ(std::memcmp(acl, dacl, sizeof(dacl)), 0) << "byte for byte the same ACL";
}

// ---------------------------------------------------------------------------
// Maximum allowed access
// ---------------------------------------------------------------------------

TEST(SecurityDescAccessTest, MaximumAllowedAgainstTheDacl)
{
    qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    qztest::ScopedHandle impersonation = qztest::DuplicateImpersonation(process.Get());
    ASSERT_TRUE(impersonation.IsValid());
    const struct
    {
        const wchar_t* sddl;
        ACCESS_MASK access;
    } rows[] = {
        {L"O:SYG:SYD:(A;;0x1234;;;WD)", 0x1234},
        {L"O:SYG:SYD:(D;;0x4;;;WD)(A;;0x1236;;;WD)", 0x1232},
        {L"O:SYG:SYD:(A;;0x10;;;SY)", 0},
        {L"O:SYG:SYD:", 0},
    };
    for (const auto& row : rows)
    {
        SddlDescriptor raw(row.sddl);
        const CqzSecurityDesc sd(raw.Get());
        qztest::TraceCapture capture;
        ACCESS_MASK access = 0xEEEEEEEE;
        EXPECT_TRUE(sd.GetMaxAllowedAccess(access)) << Narrow(row.sddl);
        EXPECT_EQ(access, row.access) << Narrow(row.sddl);
        access = 0xEEEEEEEE;
        EXPECT_TRUE(sd.GetMaxAllowedAccess(impersonation.Get(), access)) << Narrow(row.sddl);
        EXPECT_EQ(access, row.access) << Narrow(row.sddl);
        EXPECT_EQ(capture.Entries(), TraceEntries{}) << Narrow(row.sddl);
    }
}

TEST(SecurityDescAccessTest, TheImpersonatedTokenCountsAndStays)
{
    qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    qztest::ScopedHandle restricted = qztest::RestrictedAdministratorsDenyOnly(process.Get());
    qztest::ScopedHandle impersonation = qztest::DuplicateImpersonation(restricted.Get());
    ASSERT_TRUE(impersonation.IsValid());
    SddlDescriptor raw(L"O:SYG:SYD:(A;;0x10;;;BA)(A;;0x1;;;WD)");
    const CqzSecurityDesc sd(raw.Get());
    ACCESS_MASK access = 0;
    ASSERT_TRUE(sd.GetMaxAllowedAccess(access));
    EXPECT_EQ(access, 0x11u) << "the process token: an administrator";
    {
        qztest::ThreadImpersonation impersonating(impersonation.Get());
        ASSERT_TRUE(impersonating.Active());
        ASSERT_TRUE(sd.GetMaxAllowedAccess(access));
        EXPECT_EQ(access, 0x1u) << "the thread's token: Administrators deny-only";
        qztest::ScopedHandle still;
        EXPECT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, still.Receive()))
            << "the thread still impersonates";
    }
}

TEST(SecurityDescAccessTest, FailureLines)
{
    const CqzSecurityDesc none;
    qztest::TraceCapture capture;
    ACCESS_MASK access = 0xEEEEEEEE;
    EXPECT_FALSE(none.GetMaxAllowedAccess(access));
    EXPECT_EQ(access, 0u);
    access = 0xEEEEEEEE;
    EXPECT_FALSE(none.GetMaxAllowedAccess(::GetCurrentProcessToken(), access));
    EXPECT_EQ(access, 0u);
    EXPECT_EQ(capture.Entries(),
              EntriesOf(QZT_WARNING, "CqzSecurityDesc",
                        {"WARNING: m_pSecurityDescriptor is NULL", "WARNING: m_pSecurityDescriptor is NULL"}));

    // A primary token is refused by the system's check for real.
    SddlDescriptor raw(L"O:SYG:SYD:(A;;0x1;;;WD)");
    const CqzSecurityDesc sd(raw.Get());
    qztest::ScopedHandle primary = qztest::OpenOwnProcessToken();
    qztest::TraceCapture failure;
    EXPECT_FALSE(sd.GetMaxAllowedAccess(primary.Get(), access));
    EXPECT_EQ(access, 0u);
    EXPECT_EQ(failure.Entries(),
              EntriesOf(QZT_ERROR, "CqzSecurityDesc",
                        {"ERROR: ::AccessCheck failed. LastError=" + std::to_string(ERROR_NO_IMPERSONATION_TOKEN)}));
}

} // namespace
