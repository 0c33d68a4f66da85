// Label ACLs and descriptor labels: the ACL's bytes against a model of the
// label ACE, and the SACL of the descriptor through the system's SDDL.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/acl/acl_test_util.h"

using acltest::Canonical;
using acltest::SidOf;
using qztest::EntriesOf;
using qztest::TraceEntries;

namespace
{

const SECURITY_INFORMATION kLabel = LABEL_SECURITY_INFORMATION;

// The model: header of 8 bytes, then per entry type 17, the flags, the size
// 8 + SID length, the policy as the mask, the SID.
std::vector<BYTE> ModelLabelAcl(const std::vector<LabelAceEntry>& entries)
{
    std::vector<BYTE> bytes(sizeof(ACL));
    for (const LabelAceEntry& entry : entries)
    {
        const DWORD sidLength = entry.m_sid.GetLength();
        const WORD size = static_cast<WORD>(8 + sidLength);
        std::vector<BYTE> ace(size);
        ace[0] = SYSTEM_MANDATORY_LABEL_ACE_TYPE;
        ace[1] = static_cast<BYTE>(entry.m_dwAceFlags);
        std::memcpy(&ace[2], &size, 2);
        std::memcpy(&ace[4], &entry.m_dwPolicy, 4);
        std::memcpy(&ace[8], entry.m_sid.GetPSID(), sidLength);
        bytes.insert(bytes.end(), ace.begin(), ace.end());
    }
    ACL header = {ACL_REVISION, 0, static_cast<WORD>(bytes.size()), static_cast<WORD>(entries.size()), 0};
    std::memcpy(bytes.data(), &header, sizeof(header));
    return bytes;
}

TEST(LabelAclTest, OneEntry)
{
    const LabelAceEntry entry(SidOf(L"S-1-16-8192"), 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
    qztest::TraceCapture capture;
    const CqzLabelAcl acl(entry);
    ASSERT_NE(acl.GetPACL(), nullptr);
    EXPECT_EQ(acl.GetLength(), 28u);
    const std::vector<BYTE> model = ModelLabelAcl({entry});
    ASSERT_EQ(acl.GetPACL()->AclSize, model.size());
    EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<const BYTE*>(acl.GetPACL()),
                                reinterpret_cast<const BYTE*>(acl.GetPACL()) + model.size()),
              model);
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(LabelAclTest, SeveralEntriesInOrder)
{
    const std::vector<LabelAceEntry> entries = {
        LabelAceEntry(SidOf(L"S-1-16-12288"), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                      SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP),
        LabelAceEntry(SidOf(L"S-1-16-4096"), 0, SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP),
        LabelAceEntry(SidOf(L"S-1-16-16384"), INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, 0),
    };
    CqzLabelAcl acl(entries);
    ASSERT_NE(acl.GetPACL(), nullptr);
    const std::vector<BYTE> model = ModelLabelAcl(entries);
    EXPECT_EQ(acl.GetLength(), model.size());
    EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<const BYTE*>(acl.GetPACL()),
                                reinterpret_cast<const BYTE*>(acl.GetPACL()) + model.size()),
              model);
    EXPECT_EQ(acltest::DumpAclOf(acl.GetPACL()),
              (acltest::Lines{
                  L"   ACL contains 3 ACEs",
                  L"      ACE 00: type=[17=SYSTEM_MANDATORY_LABEL] flags=[0x03=OBJECT_INHERIT|CONTAINER_INHERIT] "
                  L"mask=[00000003] [" +
                      acltest::TraceOf(L"S-1-16-12288") + L"]",
                  L"      ACE 01: type=[17=SYSTEM_MANDATORY_LABEL] flags=[0] mask=[00000004] [" +
                      acltest::TraceOf(L"S-1-16-4096") + L"]",
                  L"      ACE 02: type=[17=SYSTEM_MANDATORY_LABEL] flags=[0x09=OBJECT_INHERIT|INHERIT_ONLY] "
                  L"mask=[00000000] [" +
                      acltest::TraceOf(L"S-1-16-16384") + L"]",
              }));

    // Setting again replaces the ACL.
    ASSERT_TRUE(acl.SetAces(entries[1]));
    EXPECT_EQ(acl.GetLength(), 28u);
    EXPECT_EQ(acl.GetPACL()->AceCount, 1);
}

TEST(LabelAclTest, EmptyListLeavesNoAcl)
{
    CqzLabelAcl acl(LabelAceEntry(SidOf(L"S-1-16-8192"), 0, 1));
    ASSERT_NE(acl.GetPACL(), nullptr);
    qztest::TraceCapture capture;
    EXPECT_FALSE(acl.SetAces(std::vector<LabelAceEntry>()));
    EXPECT_EQ(acl.GetPACL(), nullptr);
    EXPECT_EQ(acl.GetLength(), 0u);
    EXPECT_EQ(capture.Entries(), EntriesOf(QZT_ERROR, "CqzLabelAcl", {"ERROR: Invalid ACEs count: 0"}));
}

TEST(LabelAclTest, InvalidSidFailsTheAce)
{
    const std::vector<LabelAceEntry> entries = {LabelAceEntry(SidOf(L"S-1-16-8192"), 0, 1),
                                                LabelAceEntry(CSid(), 0, 1)};
    qztest::TraceCapture capture;
    const CqzLabelAcl acl(entries);
    EXPECT_EQ(acl.GetPACL(), nullptr);
    EXPECT_EQ(capture.Entries(),
              EntriesOf(QZT_ERROR, "CqzLabelAcl",
                        {"ERROR: AddMandatoryAce() failed. LastError=" + std::to_string(ERROR_INVALID_SID),
                         "ERROR: Failed to add ACE"}));
}

// ---------------------------------------------------------------------------
// Descriptor labels
// ---------------------------------------------------------------------------

TEST(SecurityDescLabelTest, LabelShortcutsOnANewDescriptor)
{
    const struct
    {
        const char* name;
        bool (CqzSecurityDesc::*set)(DWORD);
        const wchar_t* sddl;
    } rows[] = {
        {"system", &CqzSecurityDesc::SetSystemLabel, L"S:(ML;;NW;;;SI)"},
        {"high", &CqzSecurityDesc::SetHighLabel, L"S:(ML;;NW;;;HI)"},
        {"medium", &CqzSecurityDesc::SetMediumLabel, L"S:(ML;;NW;;;ME)"},
        {"low", &CqzSecurityDesc::SetLowLabel, L"S:(ML;;NW;;;LW)"},
    };
    for (const auto& row : rows)
    {
        CqzSecurityDesc sd;
        ASSERT_TRUE((sd.*row.set)(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP)) << row.name;
        ASSERT_NE(sd.GetPSECURITY_DESCRIPTOR(), nullptr) << row.name;
        EXPECT_FALSE(sd.IsSelfRelative()) << row.name;
        EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), kLabel), Canonical(row.sddl, kLabel)) << row.name;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        ASSERT_TRUE(sd.GetControl(&control));
        EXPECT_EQ(control, SE_SACL_PRESENT) << row.name;
    }
    CqzSecurityDesc sd;
    ASSERT_TRUE(sd.SetLabel(0x2100, SYSTEM_MANDATORY_LABEL_NO_READ_UP | SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP));
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), kLabel), Canonical(L"S:(ML;;NRNX;;;S-1-16-8448)", kLabel));
    ASSERT_TRUE(sd.SetLabel(SidOf(L"S-1-16-4096"), 0));
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), kLabel), Canonical(L"S:(ML;;;;;LW)", kLabel));
}

TEST(SecurityDescLabelTest, ReplacesTheSaclAndKeepsTheRest)
{
    acltest::SddlDescriptor raw(L"O:SYG:BAD:(A;;GA;;;SY)S:(AU;SA;GA;;;WD)(ML;;NW;;;LW)");
    CqzSecurityDesc sd(raw.Get());
    ASSERT_TRUE(sd.IsSelfRelative());
    const std::vector<LabelAceEntry> entries = {LabelAceEntry(SidOf(L"S-1-16-12288"), 0, 1),
                                                LabelAceEntry(SidOf(L"S-1-16-8192"), CONTAINER_INHERIT_ACE, 2)};
    const CqzLabelAcl label(entries);
    qztest::TraceCapture capture;
    ASSERT_TRUE(sd.SetLabelAcl(label));
    EXPECT_FALSE(sd.IsSelfRelative());
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts),
              Canonical(L"O:SYG:BAD:(A;;GA;;;SY)S:(ML;;NW;;;HI)(ML;CI;NR;;;ME)"));
    const ACL* sacl = nullptr;
    ASSERT_TRUE(sd.GetSacl(&sacl));
    ASSERT_NE(sacl, nullptr);
    EXPECT_NE(sacl, label.GetPACL()) << "the descriptor holds a copy";
    EXPECT_EQ(std::memcmp(sacl, label.GetPACL(), label.GetLength()), 0);
    EXPECT_EQ(capture.Entries(), TraceEntries{});

    // A label ACL that holds no ACL takes the SACL away.
    const CqzLabelAcl none{std::vector<LabelAceEntry>()};
    ASSERT_TRUE(sd.SetLabelAcl(none));
    bool present = true;
    ASSERT_TRUE(sd.GetSacl(&sacl, &present));
    EXPECT_FALSE(present);
    EXPECT_EQ(sacl, nullptr);
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), Canonical(L"O:SYG:BAD:(A;;GA;;;SY)"));
}

TEST(SecurityDescLabelTest, LabelThatCannotBeBuiltKeepsTheSacl)
{
    CqzSecurityDesc sd;
    ASSERT_TRUE(sd.SetLowLabel(1));
    qztest::TraceCapture capture;
    EXPECT_FALSE(sd.SetLabel(CSid(), 1));
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), kLabel), Canonical(L"S:(ML;;NW;;;LW)", kLabel));
    EXPECT_EQ(capture.Entries(),
              EntriesOf(QZT_ERROR, "CqzLabelAcl",
                        {"ERROR: AddMandatoryAce() failed. LastError=" + std::to_string(ERROR_INVALID_SID),
                         "ERROR: Failed to add ACE"}));
}

} // namespace
