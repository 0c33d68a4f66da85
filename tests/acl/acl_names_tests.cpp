// The name texts of ACE types, ACE flags and descriptor control words.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/acl/acl_test_util.h"

namespace
{

TEST(AclNamesTest, AceTypeNames)
{
    const struct
    {
        int type;
        const wchar_t* name;
    } rows[] = {
        {0, L"ACCESS_ALLOWED"},
        {1, L"ACCESS_DENIED"},
        {2, L"SYSTEM_AUDIT"},
        {3, L"SYSTEM_ALARM"},
        {4, L"ACCESS_ALLOWED_COMPOUND"},
        {5, L"ACCESS_ALLOWED_OBJECT"},
        {6, L"ACCESS_DENIED_OBJECT"},
        {7, L"SYSTEM_AUDIT_OBJECT"},
        {8, L"SYSTEM_ALARM_OBJECT"},
        {9, L"ACCESS_ALLOWED_CALLBACK"},
        {10, L"ACCESS_DENIED_CALLBACK"},
        {11, L"ACCESS_ALLOWED_CALLBACK_OBJECT"},
        {12, L"ACCESS_DENIED_CALLBACK_OBJECT"},
        {13, L"SYSTEM_AUDIT_CALLBACK"},
        {14, L"SYSTEM_ALARM_CALLBACK"},
        {15, L" SYSTEM_AUDIT_CALLBACK_OBJECT"},
        {16, L"SYSTEM_ALARM_CALLBACK_OBJECT"},
        {17, L"SYSTEM_MANDATORY_LABEL"},
        {18, L"Unknown"},
        {19, L"Unknown"},
        {0x7F, L"Unknown"},
        {0xFF, L"Unknown"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(std::wstring(CqzSecurityDesc::GetAceTypeName(static_cast<BYTE>(row.type))), row.name)
            << "type " << row.type;
}

TEST(AclNamesTest, AceFlagWords)
{
    const struct
    {
        int flags;
        const wchar_t* text;
    } rows[] = {
        {0x00, L"0"},
        {0x01, L"OBJECT_INHERIT"},
        {0x02, L"CONTAINER_INHERIT"},
        {0x04, L"NO_PROPAGATE_INHERIT"},
        {0x08, L"INHERIT_ONLY"},
        {0x10, L"INHERITED"},
        {0x13, L"OBJECT_INHERIT|CONTAINER_INHERIT|INHERITED"},
        {0x20, L"0x20"},
        {0x30, L"INHERITED|0x20"},
        {0x40, L"SUCCESSFUL_ACCESS"},
        {0x80, L"FAILED_ACCESS"},
        {0xC0, L"SUCCESSFUL_ACCESS|FAILED_ACCESS"},
        {0x0B, L"OBJECT_INHERIT|CONTAINER_INHERIT|INHERIT_ONLY"},
        {0xFF, L"OBJECT_INHERIT|CONTAINER_INHERIT|NO_PROPAGATE_INHERIT|INHERIT_ONLY|INHERITED|SUCCESSFUL_ACCESS|"
               L"FAILED_ACCESS|0x20"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CqzSecurityDesc::GetAceFlagsString(static_cast<BYTE>(row.flags)), row.text)
            << "flags 0x" << std::hex << row.flags;
}

TEST(AclNamesTest, ControlWords)
{
    const struct
    {
        unsigned control;
        const wchar_t* text;
    } rows[] = {
        {0x0000, L"NULL"},
        {0x0001, L"OWNER_DEFAULTED"},
        {0x0002, L"GROUP_DEFAULTED"},
        {0x0004, L"DACL_PRESENT"},
        {0x0008, L"DACL_DEFAULTED"},
        {0x0010, L"SACL_PRESENT"},
        {0x0020, L"SACL_DEFAULTED"},
        {0x0100, L"DACL_AUTO_INHERIT_REQ"},
        {0x0200, L"SACL_AUTO_INHERIT_REQ"},
        {0x0400, L"DACL_AUTO_INHERITED"},
        {0x0800, L"SACL_AUTO_INHERITED"},
        {0x1000, L"DACL_PROTECTED"},
        {0x2000, L"SACL_PROTECTED"},
        {0x4000, L"RM_CONTROL_VALID"},
        {0x8000, L"SELF_RELATIVE"},
        {0x8004, L"DACL_PRESENT|SELF_RELATIVE"},
        {0x9404, L"DACL_PRESENT|DACL_AUTO_INHERITED|DACL_PROTECTED|SELF_RELATIVE"},
        // The bits no word covers come last, together, in eight digits.
        {0x0040, L"0x00000040"},
        {0x00C0, L"0x000000C0"},
        {0x8014 | 0x80, L"DACL_PRESENT|SACL_PRESENT|SELF_RELATIVE|0x00000080"},
        {0xFFFF, L"OWNER_DEFAULTED|GROUP_DEFAULTED|DACL_PRESENT|DACL_DEFAULTED|SACL_PRESENT|SACL_DEFAULTED|"
                 L"DACL_AUTO_INHERIT_REQ|SACL_AUTO_INHERIT_REQ|DACL_AUTO_INHERITED|SACL_AUTO_INHERITED|"
                 L"DACL_PROTECTED|SACL_PROTECTED|RM_CONTROL_VALID|SELF_RELATIVE|0x000000C0"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CqzSecurityDesc::GetControlString(static_cast<SECURITY_DESCRIPTOR_CONTROL>(row.control)), row.text)
            << "control 0x" << std::hex << row.control;
}

} // namespace
