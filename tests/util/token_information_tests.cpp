// The token-information reader: the two-call pattern, the step it names on
// failure, the counts it checks, and the typed fixed-size form. Real Wine
// tokens for the passing reads; an import-table hook on GetTokenInformation
// for answers Wine never gives (a zero size, a short list, a failing second
// call).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "common/util/scoped.h"
#include "common/util/token_information.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

namespace
{
// One scripted answer of GetTokenInformation.
struct Answer
{
    BOOL ok;
    DWORD error;
    DWORD returned;
    std::vector<BYTE> data; // copied into the caller's buffer, as far as it fits
};

std::vector<Answer> g_answers;
std::vector<DWORD> g_sizesAsked;

BOOL WINAPI ScriptedGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID buffer, DWORD size, PDWORD returned)
{
    const size_t call = g_sizesAsked.size();
    g_sizesAsked.push_back(buffer == nullptr ? 0 : size);
    if (call >= g_answers.size())
    {
        ::SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const Answer& answer = g_answers[call];
    if (buffer != nullptr && !answer.data.empty())
        std::memcpy(buffer, answer.data.data(), answer.data.size() < size ? answer.data.size() : size);
    *returned = answer.returned;
    ::SetLastError(answer.error);
    return answer.ok;
}

// A list head with the given count, `bytes` bytes in all.
std::vector<BYTE> ListWithCount(DWORD count, size_t bytes)
{
    std::vector<BYTE> data(bytes, 0);
    // A block too short for the whole count holds its low bytes.
    std::memcpy(data.data(), &count, bytes < sizeof(count) ? bytes : sizeof(count));
    return data;
}

class TokenInformationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HANDLE token = nullptr;
        ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
        m_token.Reset(token);
    }

    qztest::ScopedHandle m_token;
};

TEST_F(TokenInformationTest, ReadsRealClassesAndChecksTheirCounts)
{
    const TOKEN_INFORMATION_CLASS classes[] = {TokenUser, TokenGroups, TokenPrivileges, TokenLogonSid};
    for (TOKEN_INFORMATION_CLASS infoClass : classes)
    {
        CqzScopedHeap<BYTE> block;
        CqzTokenInfoResult read;
        int calls = 0;
        ::SetLastError(0xDEADBEEF);
        ASSERT_TRUE(
            CqzReadTokenInformation(m_token.Get(), infoClass, block, read, CqzTokenInfoOptions(), [&] { ++calls; }))
            << "class " << infoClass << ": step " << static_cast<int>(read.failedStep) << ", error " << read.error;
        EXPECT_TRUE(block.IsValid()) << "class " << infoClass;
        EXPECT_EQ(read.failedStep, CqzTokenInfoStep::None) << "class " << infoClass;
        EXPECT_EQ(read.error, 0u) << "class " << infoClass;
        EXPECT_EQ(::GetLastError(), 0u) << "class " << infoClass;
        EXPECT_GT(read.reportedSize, 0u) << "class " << infoClass;
        EXPECT_EQ(read.returnedSize, read.reportedSize) << "class " << infoClass;
        EXPECT_EQ(calls, 2) << "class " << infoClass;
    }

    // The same privilege list from a first read that is already large enough.
    CqzScopedHeap<BYTE> block;
    CqzTokenInfoResult read;
    CqzTokenInfoOptions options;
    options.initialSize = 4096;
    ASSERT_TRUE(CqzReadTokenInformation(m_token.Get(), TokenPrivileges, block, read, options));
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.Get());
    EXPECT_LE(offsetof(TOKEN_PRIVILEGES, Privileges) + privileges->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES),
              read.returnedSize);
}

TEST_F(TokenInformationTest, NamesTheStepThatFailed)
{
    const DWORD kHeadGroups = static_cast<DWORD>(offsetof(TOKEN_GROUPS, Groups));
    const DWORD kHeadPrivileges = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges));
    struct Row
    {
        const char* name;
        TOKEN_INFORMATION_CLASS infoClass;
        DWORD initialSize;
        DWORD minimumSize;
        std::vector<Answer> answers;
        CqzTokenInfoStep step;
        DWORD error;
        std::vector<DWORD> sizesAsked; // 0: the size query without a buffer
        DWORD returnedSize;
    };
    const std::vector<Row> rows = {
        {"size query fails",
         TokenUser,
         0,
         1,
         {{FALSE, ERROR_ACCESS_DENIED, 0, {}}},
         CqzTokenInfoStep::SizeQuery,
         ERROR_ACCESS_DENIED,
         {0},
         0},
        {"size query succeeds without a buffer",
         TokenUser,
         0,
         1,
         {{TRUE, ERROR_SUCCESS, 0, {}}},
         CqzTokenInfoStep::SizeQuery,
         ERROR_SUCCESS,
         {0},
         0},
        {"zero size",
         TokenUser,
         0,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, 0, {}}},
         CqzTokenInfoStep::ZeroSize,
         ERROR_INSUFFICIENT_BUFFER,
         {0},
         0},
        {"size below the caller's minimum",
         TokenUser,
         0,
         sizeof(TOKEN_USER),
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, sizeof(TOKEN_USER) - 1, {}}},
         CqzTokenInfoStep::ZeroSize,
         ERROR_INSUFFICIENT_BUFFER,
         {0},
         0},
        {"second call fails",
         TokenUser,
         0,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, 64, {}}, {FALSE, ERROR_ACCESS_DENIED, 0, {}}},
         CqzTokenInfoStep::Read,
         ERROR_ACCESS_DENIED,
         {0, 64},
         0},
        {"second call finds a grown token",
         TokenGroups,
         0,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, 64, {}}, {FALSE, ERROR_INSUFFICIENT_BUFFER, 80, {}}},
         CqzTokenInfoStep::Read,
         ERROR_INSUFFICIENT_BUFFER,
         {0, 64},
         0},
        {"group count beyond the bytes returned",
         TokenGroups,
         0,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, kHeadGroups + sizeof(SID_AND_ATTRIBUTES), {}},
          {TRUE, ERROR_SUCCESS, kHeadGroups + sizeof(SID_AND_ATTRIBUTES),
           ListWithCount(2, kHeadGroups + sizeof(SID_AND_ATTRIBUTES))}},
         CqzTokenInfoStep::ShortResult,
         ERROR_INVALID_DATA,
         {0, kHeadGroups + sizeof(SID_AND_ATTRIBUTES)},
         kHeadGroups + static_cast<DWORD>(sizeof(SID_AND_ATTRIBUTES))},
        {"capability count beyond the bytes returned",
         TokenCapabilities,
         0,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, kHeadGroups, {}},
          {TRUE, ERROR_SUCCESS, kHeadGroups, ListWithCount(1, kHeadGroups)}},
         CqzTokenInfoStep::ShortResult,
         ERROR_INVALID_DATA,
         {0, kHeadGroups},
         kHeadGroups},
        {"privilege list shorter than its count",
         TokenPrivileges,
         616,
         1,
         {{TRUE, ERROR_SUCCESS, 2, ListWithCount(0, 2)}},
         CqzTokenInfoStep::ShortResult,
         ERROR_INVALID_DATA,
         {616},
         2},
        {"privilege count beyond the bytes returned",
         TokenPrivileges,
         616,
         1,
         {{TRUE, ERROR_SUCCESS, kHeadPrivileges + 2 * sizeof(LUID_AND_ATTRIBUTES),
           ListWithCount(3, kHeadPrivileges + 2 * sizeof(LUID_AND_ATTRIBUTES))}},
         CqzTokenInfoStep::ShortResult,
         ERROR_INVALID_DATA,
         {616},
         kHeadPrivileges + 2 * static_cast<DWORD>(sizeof(LUID_AND_ATTRIBUTES))},
        {"first read too small without a larger size",
         TokenPrivileges,
         616,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, 616, {}}},
         CqzTokenInfoStep::Read,
         ERROR_INSUFFICIENT_BUFFER,
         {616},
         0},
        {"first read fails without saying why",
         TokenPrivileges,
         616,
         1,
         {{FALSE, ERROR_SUCCESS, 0, {}}},
         CqzTokenInfoStep::Read,
         ERROR_SUCCESS,
         {616},
         0},
        {"longer list read at its size",
         TokenPrivileges,
         616,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, 2000, {}}, {TRUE, ERROR_SUCCESS, 2000, ListWithCount(166, 2000)}},
         CqzTokenInfoStep::None,
         ERROR_SUCCESS,
         {616, 2000},
         2000},
        {"list that fits exactly",
         TokenGroups,
         0,
         1,
         {{FALSE, ERROR_INSUFFICIENT_BUFFER, kHeadGroups, {}},
          {TRUE, ERROR_SUCCESS, kHeadGroups, ListWithCount(0, kHeadGroups)}},
         CqzTokenInfoStep::None,
         ERROR_SUCCESS,
         {0, kHeadGroups},
         kHeadGroups},
    };
    qztest::IatHook hook("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&ScriptedGetTokenInformation));
    ASSERT_TRUE(hook.Installed());
    for (const Row& row : rows)
    {
        g_answers = row.answers;
        g_sizesAsked.clear();
        CqzTokenInfoOptions options;
        options.initialSize = row.initialSize;
        options.minimumSize = row.minimumSize;
        CqzScopedHeap<BYTE> block(static_cast<BYTE*>(std::malloc(8))); // freed first by the reader
        CqzTokenInfoResult read;
        int calls = 0;
        ::SetLastError(0xDEADBEEF);
        const bool ok = CqzReadTokenInformation(m_token.Get(), row.infoClass, block, read, options, [&] { ++calls; });
        const DWORD lastError = ::GetLastError();
        EXPECT_EQ(ok, row.step == CqzTokenInfoStep::None) << row.name;
        EXPECT_EQ(block.IsValid(), ok) << row.name;
        EXPECT_EQ(static_cast<int>(read.failedStep), static_cast<int>(row.step)) << row.name;
        EXPECT_EQ(read.error, row.error) << row.name;
        EXPECT_EQ(lastError, row.error) << row.name;
        EXPECT_EQ(g_sizesAsked, row.sizesAsked) << row.name;
        EXPECT_EQ(calls, static_cast<int>(row.sizesAsked.size())) << row.name;
        EXPECT_EQ(read.returnedSize, row.returnedSize) << row.name;
    }
    g_answers.clear();
}

TEST_F(TokenInformationTest, FixedFormReadsIntoItsType)
{
    DWORD sessionId = 0xDEADBEEF;
    ::SetLastError(0xDEADBEEF);
    ASSERT_TRUE(CqzReadTokenInformationFixed(m_token.Get(), TokenSessionId, sessionId));
    EXPECT_NE(sessionId, 0xDEADBEEFu);
    DWORD fromProcess = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &fromProcess));
    EXPECT_EQ(sessionId, fromProcess);

    TOKEN_TYPE type = TokenImpersonation;
    ASSERT_TRUE(CqzReadTokenInformationFixed(m_token.Get(), TokenType, type));
    EXPECT_EQ(type, TokenPrimary);

    // A variable-size class does not fit a DWORD; the call's own error stays.
    DWORD tooSmall = 0;
    ::SetLastError(0xDEADBEEF);
    EXPECT_FALSE(CqzReadTokenInformationFixed(m_token.Get(), TokenUser, tooSmall));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    DWORD returned = 0xDEADBEEF;
    DWORD value = 0;
    EXPECT_FALSE(CqzReadTokenInformationInto(nullptr, TokenSessionId, &value, sizeof(value), returned));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
