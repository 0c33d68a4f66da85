// CDacl (entries, canonical order, copies of raw ACLs, the null DACL) and
// CqzDacl (merging, lookup, its rendering), checked with the SDDL the system
// gives for the ACL that GetPACL builds.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/acl/acl_test_util.h"

using acltest::Canonical;
using acltest::DaclOf;
using acltest::DaclSddl;
using acltest::SidOf;

namespace
{

TEST(DaclTest, DefaultIsEmptyAndNullIsNull)
{
    CDacl dacl;
    EXPECT_FALSE(dacl.IsNull());
    EXPECT_EQ(dacl.GetAceCount(), 0u);
    ASSERT_NE(dacl.GetPACL(), nullptr);
    EXPECT_EQ(dacl.GetPACL()->AclSize, sizeof(ACL));
    EXPECT_EQ(dacl.GetPACL()->AceCount, 0);
    EXPECT_TRUE(::IsValidAcl(dacl.GetPACL()));
    EXPECT_EQ(dacl.GetLength(), sizeof(ACL));
    EXPECT_EQ(DaclSddl(dacl), "D:");

    ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-5-18"), GENERIC_ALL));
    dacl.SetNull();
    EXPECT_TRUE(dacl.IsNull());
    EXPECT_EQ(dacl.GetPACL(), nullptr);
    EXPECT_EQ(dacl.GetLength(), 0u);
    EXPECT_EQ(dacl.GetAceCount(), 0u);
    // (Wine writes a present null DACL as "D:", like an empty one.)
    EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:NO_ACCESS_CONTROL", DACL_SECURITY_INFORMATION));

    // Adding to the null DACL makes a DACL of that one ACE.
    ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-5-18"), GENERIC_ALL));
    EXPECT_FALSE(dacl.IsNull());
    EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:(A;;GA;;;SY)", DACL_SECURITY_INFORMATION));

    dacl.SetEmpty();
    EXPECT_FALSE(dacl.IsNull());
    EXPECT_EQ(DaclSddl(dacl), "D:");
    EXPECT_TRUE(CDacl(nullptr).IsNull());
}

TEST(DaclTest, AddsInCanonicalOrder)
{
    CDacl dacl;
    ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-1-0"), 0x1));
    ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-5-18"), 0x2, INHERITED_ACE | OBJECT_INHERIT_ACE));
    ASSERT_TRUE(dacl.AddDeniedAce(SidOf(L"S-1-5-32-545"), 0x4));
    ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-5-32-544"), 0x8, CONTAINER_INHERIT_ACE));
    ASSERT_TRUE(dacl.AddDeniedAce(SidOf(L"S-1-5-11"), 0x10));
    ASSERT_TRUE(dacl.AddDeniedAce(SidOf(L"S-1-5-7"), 0x20, INHERITED_ACE));
    EXPECT_TRUE(::IsValidAcl(dacl.GetPACL()));
    EXPECT_EQ(DaclSddl(dacl),
              Canonical(L"D:(D;;0x4;;;BU)(D;;0x10;;;AU)(A;;0x1;;;WD)(A;CI;0x8;;;BA)(A;OIID;0x2;;;SY)(D;ID;0x20;;;AN)",
                        DACL_SECURITY_INFORMATION));
    EXPECT_EQ(dacl.GetAceCount(), 6u);
}

TEST(DaclTest, EntriesByIndexAndAllAtOnce)
{
    const CDacl dacl = DaclOf(L"D:(D;;0x4;;;BU)(A;OICI;0x1f01ff;;;SY)(A;ID;0x1;;;WD)");
    ASSERT_EQ(dacl.GetAceCount(), 3u);
    CSid sid;
    ACCESS_MASK mask = 0;
    BYTE type = 0xEE, flags = 0xEE;
    ASSERT_TRUE(dacl.GetAclEntry(1, &sid, &mask, &type, &flags));
    EXPECT_EQ(sid, SidOf(L"S-1-5-18"));
    EXPECT_EQ(mask, 0x1f01ffu);
    EXPECT_EQ(type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_TRUE(dacl.GetAclEntry(0, nullptr)) << "every out pointer may be null";

    ::SetLastError(0);
    EXPECT_FALSE(dacl.GetAclEntry(3, &sid));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    std::vector<CSid> sids;
    std::vector<ACCESS_MASK> masks;
    std::vector<BYTE> types, flagList;
    dacl.GetAclEntries(&sids, &masks, &types, &flagList);
    EXPECT_EQ(sids, (std::vector<CSid>{SidOf(L"S-1-5-32-545"), SidOf(L"S-1-5-18"), SidOf(L"S-1-1-0")}));
    EXPECT_EQ(masks, (std::vector<ACCESS_MASK>{0x4, 0x1f01ff, 0x1}));
    EXPECT_EQ(types, (std::vector<BYTE>{1, 0, 0}));
    EXPECT_EQ(flagList, (std::vector<BYTE>{0, 3, INHERITED_ACE}));
}

// An object ACE (type 5) with its object type GUID, built by hand.
std::vector<BYTE> ObjectAceAcl()
{
    const CSid everyone = SidOf(L"S-1-1-0");
    const DWORD aceSize = 4 + 4 + 4 + 16 + everyone.GetLength();
    std::vector<BYTE> bytes(sizeof(ACL) + aceSize);
    ACL header = {ACL_REVISION_DS, 0, static_cast<WORD>(bytes.size()), 1, 0};
    std::memcpy(bytes.data(), &header, sizeof(header));
    BYTE* ace = bytes.data() + sizeof(ACL);
    ace[0] = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
    ace[1] = CONTAINER_INHERIT_ACE;
    const WORD size = static_cast<WORD>(aceSize);
    std::memcpy(ace + 2, &size, 2);
    const DWORD mask = 0x100, objectFlags = ACE_OBJECT_TYPE_PRESENT;
    std::memcpy(ace + 4, &mask, 4);
    std::memcpy(ace + 8, &objectFlags, 4);
    for (int i = 0; i < 16; ++i)
        ace[12 + i] = static_cast<BYTE>(0xA0 + i);
    std::memcpy(ace + 28, everyone.GetPSID(), everyone.GetLength());
    return bytes;
}

TEST(DaclTest, CopiesRawAclsByteForByte)
{
    for (const wchar_t* sddl : {L"D:(A;;GA;;;SY)", L"D:(D;;0x4;;;BU)(A;OICIID;0x1f01ff;;;SY)(A;;0x1;;;WD)", L"D:"})
    {
        acltest::SddlDescriptor sd(sddl);
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.Get(), &present, &acl, &defaulted));
        const CDacl dacl(acl);
        EXPECT_EQ(DaclSddl(dacl), DaclSddl(acl)) << acltest::Narrow(sddl);
        EXPECT_EQ(std::memcmp(dacl.GetPACL(), acl, dacl.GetLength()), 0) << acltest::Narrow(sddl);
    }
    const std::vector<BYTE> object = ObjectAceAcl();
    CDacl dacl(reinterpret_cast<const ACL*>(object.data()));
    ASSERT_EQ(dacl.GetAceCount(), 1u);
    ASSERT_EQ(dacl.GetLength(), object.size());
    EXPECT_EQ(std::memcmp(dacl.GetPACL(), object.data(), object.size()), 0);
    CSid sid;
    ACCESS_MASK mask = 0;
    BYTE type = 0;
    ASSERT_TRUE(dacl.GetAclEntry(0, &sid, &mask, &type));
    EXPECT_EQ(sid, SidOf(L"S-1-1-0"));
    EXPECT_EQ(mask, 0x100u);
    EXPECT_EQ(type, ACCESS_ALLOWED_OBJECT_ACE_TYPE);
    // Its SID counts for removal like any other.
    EXPECT_TRUE(dacl.RemoveAces(SidOf(L"S-1-1-0")));
    EXPECT_EQ(dacl.GetAceCount(), 0u);
}

TEST(DaclTest, RefusesMalformedAcls)
{
    std::vector<BYTE> good = ObjectAceAcl();
    struct Row
    {
        const char* name;
        size_t offset;
        std::vector<BYTE> bytes;
    };
    const Row rows[] = {
        {"count past the end", 4, {2, 0}},           {"ACE size 0", 10, {0, 0}},
        {"ACE size below its header", 10, {3, 0}},   {"ACE size past AclSize", 10, {0x40, 0}},
        {"AclSize below its header", 2, {7, 0}},     {"revision 1", 0, {1}},
        {"SID count past the ACE", 8 + 28 + 1, {5}},
    };
    for (const Row& row : rows)
    {
        std::vector<BYTE> bad = good;
        std::memcpy(bad.data() + row.offset, row.bytes.data(), row.bytes.size());
        CDacl dacl;
        ASSERT_TRUE(dacl.AddAllowedAce(SidOf(L"S-1-5-18"), 1));
        ::SetLastError(0);
        EXPECT_FALSE(dacl.Copy(reinterpret_cast<const ACL*>(bad.data()))) << row.name;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL)) << row.name;
        EXPECT_FALSE(dacl.IsNull()) << row.name;
        EXPECT_EQ(dacl.GetAceCount(), 0u) << row.name << ": a refused copy leaves an empty DACL";
    }
}

TEST(DaclTest, RemovesEveryAceOfTheSid)
{
    CDacl dacl = DaclOf(L"D:(D;;0x4;;;WD)(A;;0x1;;;SY)(A;;0x2;;;WD)(A;ID;0x8;;;WD)");
    EXPECT_TRUE(dacl.RemoveAces(SidOf(L"S-1-1-0")));
    EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:(A;;0x1;;;SY)", DACL_SECURITY_INFORMATION));
    EXPECT_TRUE(dacl.RemoveAces(SidOf(L"S-1-5-32-544"))) << "no ACE of the SID: nothing to do";
    EXPECT_EQ(dacl.GetAceCount(), 1u);
    ::SetLastError(0);
    EXPECT_FALSE(dacl.RemoveAces(CSid()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    ::SetLastError(0);
    EXPECT_FALSE(dacl.AddAllowedAce(CSid(), 1));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_EQ(dacl.GetAceCount(), 1u);
}

TEST(DaclTest, StopsAtTheLargestAcl)
{
    CDacl dacl;
    const CSid sid = SidOf(L"S-1-5-21-1-2-3-1000"); // 28 bytes: ACEs of 36
    UINT added = 0;
    while (dacl.AddAllowedAce(sid, 1))
        ++added;
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(added, (CDacl::MaxAclSize - sizeof(ACL)) / 36);
    EXPECT_EQ(dacl.GetAceCount(), added) << "the refused ACE changed nothing";
    EXPECT_LE(dacl.GetLength(), CDacl::MaxAclSize);
    EXPECT_TRUE(::IsValidAcl(dacl.GetPACL()));
}

// ---------------------------------------------------------------------------
// CqzDacl
// ---------------------------------------------------------------------------

TEST(CqzDaclTest, MergeAce)
{
    const struct
    {
        const char* name;
        const wchar_t* before;
        const wchar_t* sid;
        ACCESS_MASK mask;
        BYTE type;
        bool changed;
        const wchar_t* after;
    } rows[] = {
        {"covered", L"D:(A;;0x3;;;WD)", L"S-1-1-0", 0x1, 0, false, L"D:(A;;0x3;;;WD)"},
        {"covered exactly", L"D:(A;;0x3;;;WD)", L"S-1-1-0", 0x3, 0, false, L"D:(A;;0x3;;;WD)"},
        {"not covered", L"D:(A;;0x3;;;WD)", L"S-1-1-0", 0x4, 0, true, L"D:(A;;0x7;;;WD)"},
        {"union of all allowed ACEs", L"D:(A;;0x1;;;WD)(A;;0x2;;;WD)", L"S-1-1-0", 0x4, 0, true, L"D:(A;;0x7;;;WD)"},
        {"denied ACE of the SID removed", L"D:(D;;0x8;;;WD)(A;;0x1;;;WD)", L"S-1-1-0", 0x2, 0, true,
         L"D:(A;;0x3;;;WD)"},
        {"denied does not cover allowed", L"D:(D;;0x3;;;WD)", L"S-1-1-0", 0x1, 0, true, L"D:(A;;0x1;;;WD)"},
        {"other SIDs untouched", L"D:(D;;0x1;;;SY)(A;;0x1;;;BA)(A;;0x1;;;WD)", L"S-1-1-0", 0x2, 0, true,
         L"D:(D;;0x1;;;SY)(A;;0x1;;;BA)(A;;0x3;;;WD)"},
        {"into an empty DACL", L"D:", L"S-1-1-0", 0x1, 0, true, L"D:(A;;0x1;;;WD)"},
        {"denied covered", L"D:(D;;0x3;;;WD)", L"S-1-1-0", 0x1, 1, false, L"D:(D;;0x3;;;WD)"},
        {"denied merged, allowed removed", L"D:(A;;0x1;;;WD)(D;;0x4;;;WD)", L"S-1-1-0", 0x2, 1, true,
         L"D:(D;;0x6;;;WD)"},
        {"inherited ACE of the SID merged and made explicit", L"D:(A;ID;0x1;;;WD)", L"S-1-1-0", 0x2, 0, true,
         L"D:(A;;0x3;;;WD)"},
    };
    for (const auto& row : rows)
    {
        CqzDacl dacl = DaclOf(row.before);
        qztest::TraceCapture capture;
        EXPECT_EQ(dacl.MergeAce(SidOf(row.sid), row.mask, row.type), row.changed) << row.name;
        EXPECT_EQ(DaclSddl(dacl), Canonical(row.after, DACL_SECURITY_INFORMATION)) << row.name;
        EXPECT_EQ(capture.Entries(), qztest::TraceEntries{}) << row.name;
    }
}

TEST(CqzDaclTest, MergeAllowedAndDeniedShortcuts)
{
    CqzDacl dacl;
    EXPECT_TRUE(dacl.MergeAllowedAce(SidOf(L"S-1-5-18"), 0x1));
    EXPECT_TRUE(dacl.MergeDeniedAce(SidOf(L"S-1-1-0"), 0x2));
    EXPECT_FALSE(dacl.MergeAllowedAce(SidOf(L"S-1-5-18"), 0x1));
    EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:(D;;0x2;;;WD)(A;;0x1;;;SY)", DACL_SECURITY_INFORMATION));
}

TEST(CqzDaclTest, MergeRefusesOtherTypes)
{
    for (int type : {2, 5, 17, 255})
    {
        CqzDacl dacl = DaclOf(L"D:(A;;0x1;;;WD)");
        qztest::TraceCapture capture;
        EXPECT_FALSE(dacl.MergeAce(SidOf(L"S-1-1-0"), 0x2, static_cast<BYTE>(type)));
        EXPECT_EQ(capture.Entries(),
                  qztest::EntriesOf(QZT_ERROR, "CqzDacl", {"ERROR: Unexpected ACE type " + std::to_string(type)}));
        EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:(A;;0x1;;;WD)", DACL_SECURITY_INFORMATION));
    }
}

TEST(CqzDaclTest, MergeThatCannotAddChangesNothing)
{
    CqzDacl dacl = DaclOf(L"D:(A;;0x1;;;WD)");
    EXPECT_FALSE(dacl.MergeAllowedAce(CSid(), 0x2)) << "an invalid SID";
    EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:(A;;0x1;;;WD)", DACL_SECURITY_INFORMATION));

    // A DACL with no room left: a new SID's ACE cannot be added.
    CqzDacl full;
    const CSid filler = SidOf(L"S-1-5-21-1-2-3-1000");
    while (full.AddAllowedAce(filler, 1))
    {
    }
    const UINT count = full.GetAceCount();
    EXPECT_FALSE(full.MergeAllowedAce(SidOf(L"S-1-5-21-1-2-3-1001"), 0x2));
    EXPECT_EQ(full.GetAceCount(), count);
    // The filler's ACEs fold into one: that fits.
    EXPECT_TRUE(full.MergeAllowedAce(filler, 0x2));
    EXPECT_EQ(DaclSddl(full), Canonical(L"D:(A;;0x3;;;S-1-5-21-1-2-3-1000)", DACL_SECURITY_INFORMATION));
}

TEST(CqzDaclTest, MergeAllowedAcesFrom)
{
    CqzDacl dacl = DaclOf(L"D:(A;;0x1;;;WD)");
    const CDacl other = DaclOf(L"D:(D;;0x2;;;SY)(A;;0x1;;;WD)(A;;0x4;;;BA)(A;;0x8;;;WD)");
    EXPECT_TRUE(dacl.MergeAllowedAcesFrom(other));
    // The denied entry of the other DACL is not turned into a grant.
    EXPECT_EQ(DaclSddl(dacl), Canonical(L"D:(A;;0x4;;;BA)(A;;0x9;;;WD)", DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(dacl.MergeAllowedAcesFrom(other)) << "nothing new the second time";
    EXPECT_FALSE(dacl.MergeAllowedAcesFrom(CDacl()));
}

TEST(CqzDaclTest, IsGroupInDacl)
{
    const CqzDacl dacl = DaclOf(L"D:(D;;0x2;;;SY)(A;;0x1;;;WD)");
    EXPECT_TRUE(dacl.IsGroupInDacl(SidOf(L"S-1-5-18")));
    EXPECT_TRUE(dacl.IsGroupInDacl(SidOf(L"S-1-1-0")));
    EXPECT_FALSE(dacl.IsGroupInDacl(SidOf(L"S-1-5-32-544")));
    EXPECT_FALSE(dacl.IsGroupInDacl(SidOf(L"S-1-5-18-1"))) << "a longer SID with the same start";
    EXPECT_FALSE(dacl.IsGroupInDacl(CSid()));
    const std::vector<BYTE> object = ObjectAceAcl();
    const CqzDacl compound(reinterpret_cast<const ACL*>(object.data()));
    EXPECT_TRUE(compound.IsGroupInDacl(SidOf(L"S-1-1-0")));
}

TEST(CqzDaclTest, DumpDacl)
{
    const CqzDacl dacl = DaclOf(L"D:(D;;0x2;;;SY)(A;OICIID;0x1f01ff;;;WD)");
    CqzStringTextSink sink;
    dacl.DumpDacl(sink);
    EXPECT_EQ(
        acltest::LinesOf(sink),
        (acltest::Lines{
            L"   DACL contains 2 ACEs",
            L"      ACE 00: type=[1=ACCESS_DENIED] flags=[0] mask=[00000002] [" + acltest::TraceOf(L"S-1-5-18") + L"]",
            L"      ACE 01: type=[0=ACCESS_ALLOWED] flags=[0x13=OBJECT_INHERIT|CONTAINER_INHERIT|INHERITED] "
            L"mask=[001F01FF] [" +
                acltest::TraceOf(L"S-1-1-0") + L"]",
        }));
    CqzStringTextSink empty;
    CqzDacl().DumpDacl(empty);
    EXPECT_EQ(acltest::LinesOf(empty), acltest::Lines{L"   DACL contains 0 ACEs"});
}

} // namespace
