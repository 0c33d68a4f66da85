// Attribute sets built in memory: every value type rendered line for line by
// Dump and GetSummary, the flag words, building failures with their lines,
// lookup by name, and the release of built sets checked against a ledger of
// the heap blocks the library allocates.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/security/token_security_attributes.h"
#include "common/util/os.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "tests/claims/claims_support.h"
#include "trace/qztrace.h"

namespace
{
using qzclaims::TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE;
using qzclaims::TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE;
using qzclaimstest::Counted;
using qzclaimstest::DumpLines;
using qzclaimstest::Elements;
using qzclaimstest::HeapLedger;

const char kAttribute[] = "CqzTokenSecurityAttribute";

std::string PointerText(const void* pointer)
{
    if (pointer == nullptr)
        return "NULL";
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << reinterpret_cast<std::uintptr_t>(pointer);
    return text.str();
}

// Caller data of one row: the element images and whatever their pointers
// point at, kept alive (and later overwritten) by the row.
struct Source
{
    std::vector<std::wstring> texts;
    std::vector<std::vector<BYTE>> blobs;
    std::vector<BYTE> elements;
};

struct RenderRow
{
    const char* name;
    const wchar_t* attributeName;
    USHORT type;
    ULONG count;
    ULONG flags;
    std::function<void(Source&)> fill;
    // Expected texts, written out by hand.
    const wchar_t* header;  // the attribute's line in the dump
    const wchar_t* summary; // GetSummary, when it holds no SID text
    std::vector<std::wstring> values;
    std::vector<std::string> releaseLines; // traced when the set goes
};

void FillStrings(Source& source, const std::vector<std::wstring>& texts)
{
    source.texts = texts;
    std::vector<UNICODE_STRING> strings;
    for (const std::wstring& text : source.texts)
        strings.push_back(Counted(text.empty() ? nullptr : text.c_str(), text.size()));
    source.elements = Elements(strings);
}

void FillOctets(Source& source, const std::vector<std::vector<BYTE>>& blobs)
{
    source.blobs = blobs;
    std::vector<TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE> octets;
    for (std::vector<BYTE>& blob : source.blobs)
        octets.push_back({blob.data(), static_cast<ULONG>(blob.size())});
    source.elements = Elements(octets);
}

std::vector<RenderRow> RenderRows()
{
    std::vector<RenderRow> rows;
    rows.push_back({"INT64",
                    L"Claim.Int64",
                    qzclaims::kTypeInt64,
                    3,
                    0,
                    [](Source& s) {
                        s.elements = Elements(std::vector<LONG64>{-5, LLONG_MAX, LLONG_MIN});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Int64] Type=1 (INT64) Flags=0x00000000 (0)",
                    L"Type=1 (INT64), Flags=0x00000000 (0) Count=3 {-5}, {9223372036854775807}, "
                    L"{-9223372036854775808}",
                    {L"-5", L"9223372036854775807", L"-9223372036854775808"},
                    {}});
    rows.push_back({"UINT64",
                    L"Claim.UInt64",
                    qzclaims::kTypeUint64,
                    2,
                    0x20,
                    [](Source& s) {
                        s.elements = Elements(std::vector<ULONG64>{0, ULLONG_MAX});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.UInt64] Type=2 (UINT64) Flags=0x00000020 (MANDATORY)",
                    L"Type=2 (UINT64), Flags=0x00000020 (MANDATORY) Count=2 {0}, {18446744073709551615}",
                    {L"0", L"18446744073709551615"},
                    {}});
    rows.push_back({"STRING",
                    L"Claim.String",
                    qzclaims::kTypeString,
                    3,
                    0x83,
                    [](Source& s) {
                        FillStrings(s, {L"alpha", L"Gr\u00FC\u00DFe", L""});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.String] Type=3 (STRING) Flags=0x00000083 "
                    L"(VALUE_CASE_SENSITIVE|NON_INHERITABLE|0x00000080)",
                    L"Type=3 (STRING), Flags=0x00000083 (VALUE_CASE_SENSITIVE|NON_INHERITABLE|0x00000080) Count=3 "
                    L"{alpha}, {Gr\u00FC\u00DFe}, {}",
                    {L"alpha", L"Gr\u00FC\u00DFe", L""},
                    {}});
    // The counted length decides, not a terminator: "abcdef" counted as 3.
    rows.push_back({"STRING counted",
                    L"Claim.Part",
                    qzclaims::kTypeString,
                    1,
                    0,
                    [](Source& s)
                    {
                        s.texts = {L"abcdef"};
                        s.elements = Elements(std::vector<UNICODE_STRING>{Counted(s.texts[0].c_str(), 3)});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Part] Type=3 (STRING) Flags=0x00000000 (0)",
                    L"Type=3 (STRING), Flags=0x00000000 (0) Count=1 {abc}",
                    {L"abc"},
                    {}});
    rows.push_back(
        {"FQBN",
         L"Claim.Fqbn",
         qzclaims::kTypeFqbn,
         2,
         0x40,
         [](Source& s)
         {
             s.texts = {L"O=DUNMORAL, L=X, S=Y"};
             TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE first = {0x0001000200030004ULL, Counted(s.texts[0].c_str())};
             TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE second = {0, Counted(nullptr)};
             s.elements = Elements(std::vector<TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE>{first, second});
         },
         L"   SECURITY ATTRIBUTE 00: [Claim.Fqbn] Type=4 (FQBN) Flags=0x00000040 (COMPARE_IGNORE)",
         L"Type=4 (FQBN), Flags=0x00000040 (COMPARE_IGNORE) Count=2 {Ver 281483566841860: O=DUNMORAL, "
         L"L=X, S=Y}, {Ver 0: }",
         {L"Ver 281483566841860: O=DUNMORAL, L=X, S=Y", L"Ver 0: "},
         {}});
    rows.push_back({"SID",
                    L"Claim.Sid",
                    qzclaims::kTypeSid,
                    2,
                    0x04,
                    [](Source& s) {
                        FillOctets(s, {qzclaimstest::SidBytes(L"S-1-5-32-544"), qzclaimstest::SidBytes(L"S-1-1-0")});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Sid] Type=5 (SID) Flags=0x00000004 (USE_FOR_DENY_ONLY)",
                    nullptr,
                    {},
                    {}});
    rows.push_back({"BOOLEAN",
                    L"Claim.Bool",
                    qzclaims::kTypeBoolean,
                    4,
                    0x18,
                    [](Source& s) {
                        s.elements = Elements(std::vector<ULONG64>{0, 1, 2, 0x100000000ULL});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Bool] Type=6 (BOOLEAN) Flags=0x00000018 "
                    L"(DISABLED|DISABLED_BY_DEFAULT)",
                    L"Type=6 (BOOLEAN), Flags=0x00000018 (DISABLED|DISABLED_BY_DEFAULT) Count=4 {False}, {True}, "
                    L"{True}, {True}",
                    {L"False", L"True", L"True", L"True"},
                    {}});
    rows.push_back({"OCTET_STRING",
                    L"Claim.Octets",
                    qzclaims::kTypeOctetString,
                    2,
                    0x7F,
                    [](Source& s) {
                        FillOctets(s, {{1, 2, 3}, {0xFF}});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Octets] Type=16 (OCTET_STRING) Flags=0x0000007F "
                    L"(COMPARE_IGNORE|MANDATORY|DISABLED|DISABLED_BY_DEFAULT|USE_FOR_DENY_ONLY|VALUE_CASE_SENSITIVE|"
                    L"NON_INHERITABLE)",
                    L"Type=16 (OCTET_STRING), Flags=0x0000007F (COMPARE_IGNORE|MANDATORY|DISABLED|DISABLED_BY_DEFAULT|"
                    L"USE_FOR_DENY_ONLY|VALUE_CASE_SENSITIVE|NON_INHERITABLE) Count=2 {OCTET_STRING}, {OCTET_STRING}",
                    {L"OCTET_STRING", L"OCTET_STRING"},
                    {}});
    // A type the library does not know: its elements are plain bytes of the
    // caller's size, and releasing them says so.
    rows.push_back({"unknown type 7",
                    L"Claim.Unknown",
                    7,
                    2,
                    0xFFFF0000,
                    [](Source& s) {
                        s.elements = Elements(std::vector<DWORD>{1, 2});
                    },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Unknown] Type=7 (-UNKNOWN-) Flags=0xFFFF0000 (0xFFFF0000)",
                    L"Type=7 (-UNKNOWN-), Flags=0xFFFF0000 (0xFFFF0000) Count=2 {UNKNOWN_VALUE_TYPE_7}, "
                    L"{UNKNOWN_VALUE_TYPE_7}",
                    {L"UNKNOWN_VALUE_TYPE_7", L"UNKNOWN_VALUE_TYPE_7"},
                    {"ERROR: Unknown value type 7"}});
    rows.push_back({"INVALID type 0",
                    L"Claim.Invalid",
                    qzclaims::kTypeInvalid,
                    1,
                    0x01,
                    [](Source& s) { s.elements = Elements(std::vector<ULONG64>{9}); },
                    L"   SECURITY ATTRIBUTE 00: [Claim.Invalid] Type=0 (INVALID) Flags=0x00000001 (NON_INHERITABLE)",
                    L"Type=0 (INVALID), Flags=0x00000001 (NON_INHERITABLE) Count=1 {UNKNOWN_VALUE_TYPE_0}",
                    {L"UNKNOWN_VALUE_TYPE_0"},
                    {"ERROR: Unknown value type 0"}});
    return rows;
}

// The expected values of the SID row from LookupAccountSidW.
void CompleteSidRow(RenderRow& row, std::wstring& summary)
{
    if (row.type != qzclaims::kTypeSid)
        return;
    std::vector<BYTE> admins = qzclaimstest::SidBytes(L"S-1-5-32-544");
    std::vector<BYTE> everyone = qzclaimstest::SidBytes(L"S-1-1-0");
    row.values = {qztest::AccountTraceText(admins.data()), qztest::AccountTraceText(everyone.data())};
    summary = L"Type=5 (SID), Flags=0x00000004 (USE_FOR_DENY_ONLY) Count=2 {" + row.values[0] + L"}, {" +
              row.values[1] + L"}";
}

bool Build(const RenderRow& row, Source& source, CqzTokenSecurityAttribute& attribute)
{
    row.fill(source);
    const size_t elementSize = source.elements.size() / row.count;
    return attribute._SetNameAndSimpleValues(row.attributeName, source.elements.data(), elementSize, row.count,
                                             row.type, row.flags);
}

// Overwrites everything the caller handed in: a built set must not refer to it.
void Scribble(Source& source)
{
    for (std::wstring& text : source.texts)
        text.assign(text.size(), L'#');
    for (std::vector<BYTE>& blob : source.blobs)
        blob.assign(blob.size(), 0xCC);
    source.elements.assign(source.elements.size(), 0xCC);
}

class ClaimsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CqzOperatingSystem::IsWin8OrLater())
            GTEST_SKIP() << "security attributes exist from Windows 8 on";
    }
};

TEST_F(ClaimsTest, EveryTypeRendersLineForLine)
{
    for (RenderRow row : RenderRows())
    {
        SCOPED_TRACE(row.name);
        std::wstring summary = row.summary == nullptr ? L"" : row.summary;
        CompleteSidRow(row, summary);
        ASSERT_EQ(row.values.size(), row.count);

        std::vector<std::wstring> expected = {L"TOKEN SECURITY ATTRIBUTES: Count=1", row.header};
        for (size_t j = 0; j < row.values.size(); ++j)
            expected.push_back(L"      VALUE " + std::to_wstring(j) + L": " + row.values[j]);

        qztest::TraceCapture capture;
        {
            Source source;
            CqzTokenSecurityAttribute attribute;
            ASSERT_TRUE(Build(row, source, attribute));
            EXPECT_TRUE(attribute.IsOwned());
            EXPECT_EQ(attribute.GetSummary(), summary);
            for (ULONG j = 0; j < row.count; ++j)
                EXPECT_EQ(attribute.GetValueString(j), row.values[j]) << "value " << j;
            EXPECT_EQ(attribute.GetValueString(row.count), L"") << "past the last value";

            CqzTokenSecurityAttributes set;
            set.FromPolicyData(attribute);
            EXPECT_TRUE(attribute.IsEmpty()) << "the record was handed over";
            EXPECT_FALSE(attribute.IsOwned());
            ASSERT_EQ(set.GetCount(), 1u);
            EXPECT_FALSE(set.IsFromToken());
            EXPECT_EQ(set.GetSet()->Version, 1);

            Scribble(source);
            EXPECT_EQ(DumpLines(set), expected);

            CqzTokenSecurityAttribute view;
            ASSERT_TRUE(set.GetAt(0, view));
            EXPECT_FALSE(view.IsOwned());
            EXPECT_EQ(view.GetSummary(), summary);
            EXPECT_EQ(view.GetName(), row.attributeName);
            EXPECT_EQ(view.GetTypeName(), CqzTokenSecurityAttribute::GetTypeName(row.type));
        }
        EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kAttribute, row.releaseLines));
    }
}

TEST_F(ClaimsTest, FlagWords)
{
    const struct
    {
        ULONG flags;
        const wchar_t* text;
    } rows[] = {
        {0, L"0"},
        {0x83, L"VALUE_CASE_SENSITIVE|NON_INHERITABLE|0x00000080"},
        {0x01, L"NON_INHERITABLE"},
        {0x40, L"COMPARE_IGNORE"},
        {0x7F, L"COMPARE_IGNORE|MANDATORY|DISABLED|DISABLED_BY_DEFAULT|USE_FOR_DENY_ONLY|VALUE_CASE_SENSITIVE|"
               L"NON_INHERITABLE"},
        {0x80, L"0x00000080"},
        {0xFFFFFFFF, L"COMPARE_IGNORE|MANDATORY|DISABLED|DISABLED_BY_DEFAULT|USE_FOR_DENY_ONLY|VALUE_CASE_SENSITIVE|"
                     L"NON_INHERITABLE|0xFFFFFF80"},
        {0x00010024, L"MANDATORY|USE_FOR_DENY_ONLY|0x00010000"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CqzTokenSecurityAttribute::GetFlagsString(row.flags), row.text) << std::hex << row.flags;
}

TEST_F(ClaimsTest, TypeNames)
{
    const struct
    {
        USHORT type;
        const wchar_t* name;
    } rows[] = {{0, L"INVALID"},    {1, L"INT64"},         {2, L"UINT64"},     {3, L"STRING"},
                {4, L"FQBN"},       {5, L"SID"},           {6, L"BOOLEAN"},    {7, L"-UNKNOWN-"},
                {15, L"-UNKNOWN-"}, {16, L"OCTET_STRING"}, {17, L"-UNKNOWN-"}, {0xFFFF, L"-UNKNOWN-"}};
    for (const auto& row : rows)
        EXPECT_EQ(std::wstring(CqzTokenSecurityAttribute::GetTypeName(row.type)), row.name) << row.type;
}

TEST_F(ClaimsTest, EmptyObjectDumpsNullLine)
{
    CqzTokenSecurityAttributes set;
    CqzStringTextSink sink;
    qztest::TraceCapture capture;
    set.Dump(sink);
    EXPECT_EQ(sink.Text(), L"TOKEN SECURITY ATTRIBUTES: NULL\r\n\r\n");
    EXPECT_EQ(set.GetCount(), 0u);
    CqzTokenSecurityAttribute attribute;
    EXPECT_FALSE(set.GetAt(0, attribute));
    EXPECT_FALSE(set.FindByName(L"x", attribute));
    EXPECT_TRUE(capture.Entries().empty());
}

TEST_F(ClaimsTest, SetNameBounds)
{
    const std::wstring longest(32766, L'n'); // 65534 bytes with its terminator
    const std::wstring tooLong(32767, L'n'); // 65536 bytes
    const struct
    {
        const char* name;
        const wchar_t* text;
        bool ok;
        std::vector<std::string> lines;
    } rows[] = {
        {"null", nullptr, false, {"ERROR: Invaid name (NULL)"}},
        {"empty", L"", false, {"ERROR: Invaid name ()"}},
        {"one character", L"a", true, {}},
        {"longest", longest.c_str(), true, {}},
        {"too long", tooLong.c_str(), false, {"ERROR: Name param too long."}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        CqzTokenSecurityAttribute attribute;
        qztest::TraceCapture capture;
        EXPECT_EQ(attribute._SetName(row.text), row.ok);
        EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kAttribute, row.lines));
        if (row.ok)
        {
            const size_t chars = std::wcslen(row.text);
            EXPECT_EQ(attribute.GetName(), row.text);
            EXPECT_EQ(attribute.GetRecord().Name.Length, chars * 2);
            EXPECT_EQ(attribute.GetRecord().Name.MaximumLength, chars * 2 + 2);
            EXPECT_EQ(attribute.GetRecord().Name.Buffer[chars], L'\0');
            EXPECT_NE(attribute.GetRecord().Name.Buffer, row.text) << "the name is copied";
            EXPECT_TRUE(attribute.IsOwned());
        }
        else
        {
            EXPECT_TRUE(attribute.IsEmpty());
        }
    }
}

TEST_F(ClaimsTest, SetNameAndSimpleValuesRefusesBadParameters)
{
    const ULONG64 values[2] = {1, 2};
    const struct
    {
        const char* name;
        const wchar_t* text;
        const void* values;
        size_t elementSize;
        ULONG count;
        USHORT type;
        std::string line;
    } rows[] = {
        {"empty name", L"", values, 8, 2, 1, "ERROR: Invaid param (, " + PointerText(values) + ", 8, 2, 1, 5)"},
        {"null name", nullptr, values, 8, 2, 1, "ERROR: Invaid param (NULL, " + PointerText(values) + ", 8, 2, 1, 5)"},
        {"null values", L"a", nullptr, 8, 2, 1, "ERROR: Invaid param (a, NULL, 8, 2, 1, 5)"},
        {"element size 0", L"a", values, 0, 2, 7, "ERROR: Invaid param (a, " + PointerText(values) + ", 0, 2, 7, 5)"},
        {"count 0", L"a", values, 8, 0, 1, "ERROR: Invaid param (a, " + PointerText(values) + ", 8, 0, 1, 5)"},
        // A supported type read back at another element size would read
        // past the copy.
        {"INT64 of 4 bytes", L"a", values, 4, 2, 1, "ERROR: Invaid param (a, " + PointerText(values) + ", 4, 2, 1, 5)"},
        {"STRING of 8 bytes", L"a", values, sizeof(ULONG64) + sizeof(UNICODE_STRING), 1, 3,
         "ERROR: Invaid param (a, " + PointerText(values) + ", " +
             std::to_string(sizeof(ULONG64) + sizeof(UNICODE_STRING)) + ", 1, 3, 5)"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        CqzTokenSecurityAttribute attribute;
        ASSERT_TRUE(attribute._SetNameAndSimpleValues(L"before", values, 8, 2, 1, 0));
        qztest::TraceCapture capture;
        EXPECT_FALSE(attribute._SetNameAndSimpleValues(row.text, row.values, row.elementSize, row.count, row.type, 5));
        EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kAttribute, {row.line}));
        EXPECT_TRUE(attribute.IsEmpty()) << "a refusal leaves the object empty";
        EXPECT_EQ(attribute.GetValueCount(), 0u);
    }
}

TEST_F(ClaimsTest, ValuesThatCannotBeCopiedAreRefusedWithoutLeaks)
{
    std::vector<BYTE> sid = qzclaimstest::SidBytes(L"S-1-5-18");
    std::vector<BYTE> shortSid(sid.begin(), sid.begin() + 8);
    const wchar_t text[] = L"ok";
    const struct
    {
        const char* name;
        USHORT type;
        std::vector<BYTE> elements;
        ULONG count;
        std::string line;
    } rows[] = {
        {"SID shorter than its sub-authorities", qzclaims::kTypeSid,
         Elements(std::vector<TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE>{{sid.data(), static_cast<ULONG>(sid.size())},
                                                                           {shortSid.data(), 8}}),
         2, "ERROR: Invalid value 1 of type 5"},
        {"SID without bytes", qzclaims::kTypeSid,
         Elements(std::vector<TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE>{{nullptr, 12}}), 1,
         "ERROR: Invalid value 0 of type 5"},
        {"octets without bytes", qzclaims::kTypeOctetString,
         Elements(std::vector<TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE>{{sid.data(), 4}, {nullptr, 3}}), 2,
         "ERROR: Invalid value 1 of type 16"},
        {"string without a buffer", qzclaims::kTypeString,
         Elements(std::vector<UNICODE_STRING>{Counted(text), Counted(nullptr, 2), Counted(text)}), 3,
         "ERROR: Invalid value 1 of type 3"},
        {"FQBN name without a buffer", qzclaims::kTypeFqbn,
         Elements(std::vector<TOKEN_SECURITY_ATTRIBUTE_FQBN_VALUE>{{1, Counted(nullptr, 1)}}), 1,
         "ERROR: Invalid value 0 of type 4"},
    };
    HeapLedger ledger;
    ASSERT_TRUE(ledger.Installed());
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        const size_t before = ledger.Live();
        qztest::TraceCapture capture;
        {
            CqzTokenSecurityAttribute attribute;
            EXPECT_FALSE(attribute._SetNameAndSimpleValues(L"Claim", row.elements.data(),
                                                           row.elements.size() / row.count, row.count, row.type, 0));
            EXPECT_TRUE(attribute.IsEmpty());
            EXPECT_EQ(ledger.Live(), before) << "every copy made before the bad value is freed";
        }
        EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kAttribute, {row.line}));
    }
    EXPECT_EQ(ledger.ForeignFrees(), 0u);
}

TEST_F(ClaimsTest, FindByNameMatchesWholeNamesOnly)
{
    const ULONG64 value = 1;
    CqzTokenSecurityAttribute attribute;
    ASSERT_TRUE(attribute._SetNameAndSimpleValues(L"Claim.Name", &value, sizeof(value), 1, 2, 0));
    CqzTokenSecurityAttributes set;
    set.FromPolicyData(attribute);

    const struct
    {
        const wchar_t* name;
        bool found;
    } rows[] = {{L"Claim.Name", true},  {L"Claim", false}, {L"Claim.Nam", false}, {L"Claim.Name.X", false},
                {L"claim.name", false}, {L"", false},      {nullptr, false}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name == nullptr ? "(null)" : qztest::ToUtf8(row.name));
        CqzTokenSecurityAttribute found;
        EXPECT_EQ(set.FindByName(row.name, found), row.found);
        if (row.found)
        {
            EXPECT_FALSE(found.IsOwned());
            EXPECT_EQ(found.GetRecord().Name.Buffer, set.GetSet()->Attribute.pAttributeV1[0].Name.Buffer)
                << "the found record refers into the set";
        }
        else
        {
            EXPECT_TRUE(found.IsEmpty());
        }
    }
}

// A record that only refers into another set is copied when it becomes a
// set of its own: the new set outlives the first and frees only its copies.
TEST_F(ClaimsTest, FromPolicyDataCopiesARecordItDoesNotOwn)
{
    HeapLedger ledger;
    ASSERT_TRUE(ledger.Installed());
    const std::wstring texts[2] = {L"first", L"second"};
    const std::vector<UNICODE_STRING> strings = {Counted(texts[0].c_str()), Counted(texts[1].c_str())};
    CqzTokenSecurityAttributes copy;
    {
        CqzTokenSecurityAttribute attribute;
        ASSERT_TRUE(attribute._SetNameAndSimpleValues(L"Claim.Copy", strings.data(), sizeof(UNICODE_STRING), 2,
                                                      qzclaims::kTypeString, 0x02));
        CqzTokenSecurityAttributes original;
        original.FromPolicyData(attribute);
        CqzTokenSecurityAttribute view;
        ASSERT_TRUE(original.GetAt(0, view));
        copy.FromPolicyData(view);
        EXPECT_TRUE(view.IsEmpty());
        EXPECT_NE(copy.GetSet()->Attribute.pAttributeV1[0].Name.Buffer,
                  original.GetSet()->Attribute.pAttributeV1[0].Name.Buffer);
    }
    const std::vector<std::wstring> expected = {
        L"TOKEN SECURITY ATTRIBUTES: Count=1",
        L"   SECURITY ATTRIBUTE 00: [Claim.Copy] Type=3 (STRING) Flags=0x00000002 (VALUE_CASE_SENSITIVE)",
        L"      VALUE 0: first", L"      VALUE 1: second"};
    EXPECT_EQ(DumpLines(copy), expected);
    copy.Release();
    EXPECT_EQ(ledger.Live(), 0u);
    EXPECT_EQ(ledger.ForeignFrees(), 0u);
}

TEST_F(ClaimsTest, FreeValueOfAPlainTypeSaysSo)
{
    const LONG64 value = 3;
    CqzTokenSecurityAttribute attribute;
    ASSERT_TRUE(attribute._SetNameAndSimpleValues(L"Claim", &value, sizeof(value), 1, qzclaims::kTypeInt64, 0));
    qztest::TraceCapture capture;
    attribute._FreeValue(0);
    EXPECT_EQ(attribute.GetValueString(0), L"3") << "nothing of an INT64 value is freed";
    attribute._FreeValues();
    EXPECT_EQ(attribute.GetValueCount(), 0u);
    EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kAttribute, {"ERROR: Unexpected value type 1"}));
}

// Exactly the blocks each build makes are freed: the name, the value array
// and one block per text or byte string; the set adds its header and its
// record array.
TEST_F(ClaimsTest, BuiltSetsFreeExactlyWhatTheyOwn)
{
    const struct
    {
        const char* row;
        size_t attributeBlocks;
    } counts[] = {{"INT64", 2}, {"UINT64", 2},  {"STRING", 4},       {"STRING counted", 3}, {"FQBN", 3},
                  {"SID", 4},   {"BOOLEAN", 2}, {"OCTET_STRING", 4}, {"unknown type 7", 2}, {"INVALID type 0", 2}};
    std::vector<RenderRow> rows = RenderRows();
    ASSERT_EQ(rows.size(), sizeof(counts) / sizeof(counts[0]));

    HeapLedger ledger;
    ASSERT_TRUE(ledger.Installed());
    for (size_t r = 0; r < rows.size(); ++r)
    {
        SCOPED_TRACE(rows[r].name);
        ASSERT_STREQ(rows[r].name, counts[r].row);
        Source source;
        rows[r].fill(source); // the caller's data is made before counting
        const size_t before = ledger.Live();
        {
            CqzTokenSecurityAttribute attribute;
            ASSERT_TRUE(attribute._SetNameAndSimpleValues(rows[r].attributeName, source.elements.data(),
                                                          source.elements.size() / rows[r].count, rows[r].count,
                                                          rows[r].type, rows[r].flags));
            EXPECT_EQ(ledger.Live() - before, counts[r].attributeBlocks);
            CqzTokenSecurityAttributes set;
            set.FromPolicyData(attribute);
            EXPECT_EQ(ledger.Live() - before, counts[r].attributeBlocks + 2);
            CqzTokenSecurityAttribute view;
            ASSERT_TRUE(set.GetAt(0, view));
        }
        EXPECT_EQ(ledger.Live(), before);
    }

    // Many rounds of every type: nothing accumulates.
    const size_t allocationsBefore = ledger.Allocations();
    for (int round = 0; round < 2000; ++round)
    {
        for (const RenderRow& row : rows)
        {
            Source source;
            CqzTokenSecurityAttribute attribute;
            CqzTokenSecurityAttributes set;
            if (!Build(row, source, attribute))
                FAIL() << row.name << " round " << round;
            set.FromPolicyData(attribute);
            CqzStringTextSink sink;
            set.Dump(sink);
            set.FromPolicyData(attribute); // an empty attribute replaces the set
        }
    }
    EXPECT_GT(ledger.Allocations() - allocationsBefore, 2000u * rows.size() * 4);
    EXPECT_EQ(ledger.Live(), 0u);
    EXPECT_EQ(ledger.ForeignFrees(), 0u);
    EXPECT_FALSE(ledger.Overflowed());
}

} // namespace
