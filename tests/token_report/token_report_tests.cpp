// The short and the full token report of real tokens (the process token,
// Administrators made deny-only, the linked token, an impersonation token)
// and of an empty object, each written to a file, read back as UTF-16 and
// compared line by line with the report the token's facts give: user,
// groups with attributes, privileges, session, elevation, integrity level,
// statistics and the default DACL (through SDDL), read here with plain
// advapi32. Also censoring and the linked token's section.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/access_token_report_internal.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "tests/token_report/report_oracle.h"
#include "tests/token_report/token_report_test_util.h"

namespace
{
using qzreporttest::Lines;
using qztest::ScopedHandle;

const wchar_t* const kLinkedHeader = L"    *** Linked token ***";
const wchar_t* const kReportHeader = L"    *** Access Token Info start ***";

// The suite's own process token and the row's token made from it.
class TokenReportTest : public ::testing::TestWithParam<size_t>
{
protected:
    void SetUp() override
    {
        const qzreporttest::TokenCase& row = qzreporttest::TokenCases()[GetParam()];
        m_process = qztest::OpenOwnProcessToken();
        ASSERT_TRUE(m_process.IsValid());
        m_token = row.make(m_process.Get());
        ASSERT_TRUE(m_token.IsValid()) << row.name << ": " << ::GetLastError();
        ASSERT_TRUE(row.precondition(m_token.Get())) << row.name << " is not what the row needs";
    }

    ScopedHandle m_process;
    ScopedHandle m_token;
};

std::string RowName(const ::testing::TestParamInfo<size_t>& info)
{
    std::string name = qzreporttest::TokenCases()[info.param].name;
    for (char& c : name)
    {
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

TEST_P(TokenReportTest, FullReportWithTheLinkedSectionIsTheTokensFacts)
{
    const Lines lines = qzreporttest::FullReportOf(m_token.Get(), true);
    const auto expected = qzreporttest::ExpectedFullReport(m_token.Get(), qzreporttest::RunningVersions(), true);
    EXPECT_EQ("", qzreporttest::Describe(qzreporttest::Compare(lines, expected)));
}

TEST_P(TokenReportTest, FullReportWithoutTheLinkedSectionIsTheTokensFacts)
{
    const Lines lines = qzreporttest::FullReportOf(m_token.Get(), false);
    const auto expected = qzreporttest::ExpectedFullReport(m_token.Get(), qzreporttest::RunningVersions(), false);
    EXPECT_EQ("", qzreporttest::Describe(qzreporttest::Compare(lines, expected)));
    EXPECT_EQ(0u, qzreporttest::CountLines(lines, kLinkedHeader));
    EXPECT_EQ(1u, qzreporttest::CountLines(lines, kReportHeader));
}

TEST_P(TokenReportTest, ShortReportIsTheTokensFacts)
{
    for (const bool censor : {false, true})
    {
        const Lines lines = qzreporttest::ShortReportOf(m_token.Get(), censor);
        const auto expected = qzreporttest::ExpectedShortReport(m_token.Get(), censor);
        EXPECT_EQ("", qzreporttest::Describe(qzreporttest::Compare(lines, expected))) << "censor " << censor;
    }
}

TEST_P(TokenReportTest, BorrowedHandleStaysOpenAndTheObjectKeepsItsToken)
{
    qzreporttest::ReportFile file;
    ASSERT_TRUE(CqzAccessToken::Dump(m_token.Get(), file.Path().c_str(), true, false));
    ASSERT_TRUE(CqzAccessToken::DumpUserGroupsAndPriviliges(m_token.Get(), file.Path().c_str(), true, false));
    TOKEN_STATISTICS statistics = {};
    DWORD returned = 0;
    EXPECT_TRUE(::GetTokenInformation(m_token.Get(), TokenStatistics, &statistics, sizeof(statistics), &returned));

    // The member form on an object that owns a copy of the token.
    HANDLE copy = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), m_token.Get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS));
    CqzAccessToken token;
    token.Attach(copy);
    CqzStringTextSink sink;
    EXPECT_TRUE(token.Dump(sink, true));
    EXPECT_EQ(copy, token.GetHandle());
    EXPECT_TRUE(::GetTokenInformation(copy, TokenStatistics, &statistics, sizeof(statistics), &returned));
    Lines lines;
    ASSERT_TRUE(qztest::SplitCrLfLines(sink.Text(), lines));
    EXPECT_EQ("", qzreporttest::Describe(qzreporttest::Compare(
                      lines, qzreporttest::ExpectedFullReport(copy, qzreporttest::RunningVersions(), true))));
}

INSTANTIATE_TEST_SUITE_P(RealTokens, TokenReportTest, ::testing::Range<size_t>(0, qzreporttest::TokenCases().size()),
                         RowName);

// ---------------------------------------------------------------------------
// The linked token's section
// ---------------------------------------------------------------------------

TEST(TokenReportLinkedTest, LinkedSectionIsTheLinkedTokensReportOneLevelDeep)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process.IsValid());
    // Wine's process token is split: its linked token is the Limited half,
    // which itself has a linked token again.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD returned = 0;
    ASSERT_TRUE(::GetTokenInformation(process.Get(), TokenElevationType, &type, sizeof(type), &returned));
    ASSERT_NE(TokenElevationTypeDefault, type);

    for (const bool ofLinked : {false, true})
    {
        const ScopedHandle linked = qztest::LinkedToken(process.Get());
        const HANDLE token = ofLinked ? linked.Get() : process.Get();
        const Lines lines = qzreporttest::FullReportOf(token, true);
        EXPECT_EQ(1u, qzreporttest::CountLines(lines, kLinkedHeader)) << ofLinked;
        EXPECT_EQ(2u, qzreporttest::CountLines(lines, kReportHeader)) << ofLinked;
        const Lines section = qzreporttest::LinesFrom(lines, kLinkedHeader);
        ASSERT_GE(section.size(), 5u);
        EXPECT_EQ(L"", section[1]);
        EXPECT_EQ(L"", section[2]);
        EXPECT_EQ(kReportHeader, section[3]);
        // The section's own report ends the file: nothing about a further
        // linked token follows.
        const Lines nested(section.begin() + 2, section.end());
        EXPECT_EQ(0u, qzreporttest::CountLines(nested, kLinkedHeader));
        EXPECT_EQ(L"<none>", qzreporttest::LineStartingWith(nested, L"    *** Cannot get linked token"));
        EXPECT_EQ(L"<none>", qzreporttest::LineStartingWith(nested, L"    *** Linked token is NULL"));
        // The other half of the split: Limited for the process token, Full
        // for the linked one.
        EXPECT_EQ(ofLinked ? L"TOKEN ELEVATION TYPE: TokenElevationTypeFull"
                           : L"TOKEN ELEVATION TYPE: TokenElevationTypeLimited",
                  qzreporttest::LineStartingWith(nested, L"TOKEN ELEVATION TYPE: "));
    }
}

// ---------------------------------------------------------------------------
// An object without a token
// ---------------------------------------------------------------------------

TEST(TokenReportEmptyTest, EmptyObjectWritesTheHeaderAndTheNullLineOnly)
{
    const auto expected = qzreporttest::ExpectedEmptyReport();
    CqzAccessToken empty;
    for (int form = 0; form < 4; ++form)
    {
        qzreporttest::ReportFile file;
        bool result = false;
        switch (form)
        {
        case 0:
            result = empty.Dump(file.Path().c_str(), true, false);
            break;
        case 1:
            result = empty.DumpUserGroupsAndPriviliges(file.Path().c_str(), true, false);
            break;
        case 2:
            result = CqzAccessToken::Dump(nullptr, file.Path().c_str(), true, false);
            break;
        default:
            result = CqzAccessToken::DumpUserGroupsAndPriviliges(nullptr, file.Path().c_str(), false, false);
            break;
        }
        EXPECT_TRUE(result) << "form " << form;
        EXPECT_EQ("", qzreporttest::Describe(qzreporttest::Compare(file.Read(), expected))) << "form " << form;
    }
}

// ---------------------------------------------------------------------------
// Censoring
// ---------------------------------------------------------------------------

TEST(TokenReportCensorTest, SidTextsKeepOnlyTheirFinalSubAuthority)
{
    struct Row
    {
        const wchar_t* text;
        const wchar_t* censored; // null: cannot be censored
    };
    const Row rows[] = {
        {L"Name=[DOMAIN\\user] SID=[S-1-5-21-a-b-c-1001]", L"Name=[DOMAIN\\user] SID=[S*************-1001]"},
        {L"ATTR=[Mandatory|EnabledByDefault|Enabled] Name=[Everyone] SID=[S-1-1-0]",
         L"ATTR=[Mandatory|EnabledByDefault|Enabled] Name=[Everyone] SID=[S****-0]"},
        {L"Name=[WIN-7A\\user] SID=[S-1-5-21-1-2-3-500]", L"Name=[WIN-7A\\user] SID=[S*************-500]"},
        {L"Capability=[InternetClient] SID=[S-1-15-3-1]", L"Capability=[InternetClient] SID=[S*******-1]"},
        // Without "SID=[S" the first "S" is the marker.
        {L"S-1-5-18", L"S****-18"},
        {L"[Invalid SID]", nullptr},
        {L"PSID=[NULL]", nullptr},
        {L"sid-without-marker", nullptr},
        // A marker behind the last "-" would leave the SID as it is.
        {L"Name=[A-B] SID=[S]", nullptr},
        {L"", nullptr},
    };
    for (const Row& row : rows)
    {
        std::wstring text = row.text;
        EXPECT_EQ(row.censored != nullptr, qztokenreport::CensorSidText(text)) << qztest::ToUtf8(row.text);
        EXPECT_EQ(row.censored != nullptr ? row.censored : row.text, text) << qztest::ToUtf8(row.text);
        // The suite's model agrees with every row.
        EXPECT_EQ(row.censored != nullptr ? row.censored : L"Error Censoring", qzreporttest::Censored(row.text))
            << qztest::ToUtf8(row.text);
    }
}

TEST(TokenReportCensorTest, ShortReportCensorsUserOwnerPrimaryGroupAndGroupsOnly)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process.IsValid());
    const Lines plain = qzreporttest::ShortReportOf(process.Get(), false);
    const Lines censored = qzreporttest::ShortReportOf(process.Get(), true);
    ASSERT_EQ(plain.size(), censored.size());

    // The user of the process token as advapi32 names it, censored by hand:
    // "SID=[S" and then asterisks up to the final "-<rid>".
    BYTE buffer[256] = {};
    DWORD returned = 0;
    ASSERT_TRUE(::GetTokenInformation(process.Get(), TokenUser, buffer, sizeof(buffer), &returned));
    const std::wstring sid = qztest::SidToString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    const size_t rid = sid.rfind(L'-');
    ASSERT_NE(std::wstring::npos, rid);
    const std::wstring userText = qzreporttest::TraceString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    const std::wstring censoredUser =
        userText.substr(0, userText.find(L"SID=[")) + L"SID=[S" + std::wstring(rid - 1, L'*') + sid.substr(rid) + L"]";
    EXPECT_EQ(L"TOKEN USER: " + userText, plain[3]);
    EXPECT_EQ(L"TOKEN USER: " + censoredUser, censored[3]);

    for (size_t i = 0; i < plain.size(); ++i)
    {
        const std::wstring& line = plain[i];
        const bool sidLine = line.rfind(L"TOKEN USER: ", 0) == 0 || line.rfind(L"TOKEN OWNER: ", 0) == 0 ||
                             line.rfind(L"TOKEN PRIMARY GROUP: ", 0) == 0 || line.rfind(L"   GROUP ", 0) == 0;
        if (!sidLine)
        {
            EXPECT_EQ(line, censored[i]) << "line " << i;
            continue;
        }
        EXPECT_NE(line, censored[i]) << "line " << i;
        EXPECT_EQ(std::wstring::npos, censored[i].find(L"S-1-")) << "line " << i;
    }
}

} // namespace
