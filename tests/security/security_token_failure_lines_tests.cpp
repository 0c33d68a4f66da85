// The token wrapper's failure lines whose texts are complete as written:
// nothing follows them (no " LastError="), the error is kept in the object
// or left for the caller. Each row makes one system call fail through an
// import-table hook: Wine opens, reads and duplicates its own tokens without
// fail, so these paths cannot be reached otherwise.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "trace/qztrace.h"

namespace
{
const DWORD kHookError = ERROR_ACCESS_DENIED;

BOOL WINAPI FailingOpenProcessToken(HANDLE, DWORD, PHANDLE token)
{
    *token = nullptr;
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingOpenThreadToken(HANDLE, DWORD, BOOL, PHANDLE token)
{
    *token = nullptr;
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD returned)
{
    *returned = 0;
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingDuplicateToken(HANDLE, SECURITY_IMPERSONATION_LEVEL, PHANDLE token)
{
    *token = nullptr;
    ::SetLastError(kHookError);
    return FALSE;
}

int WINAPI FailingGetLocaleInfoW(LCID, LCTYPE, LPWSTR, int)
{
    ::SetLastError(kHookError);
    return 0;
}

struct Hook
{
    const char* dll;
    const char* function;
    void* replacement;
};

// What a row's operation reports: its result and the error it leaves (the
// object's LastError(), or the thread's for the static operation).
struct Outcome
{
    bool ok;
    DWORD error;
};

// Whether the calling thread has a token of its own.
bool ThreadImpersonates()
{
    CAccessToken thread;
    return thread.GetThreadToken(TOKEN_QUERY, nullptr, true);
}

Outcome CurrentProcessUser()
{
    CSid user;
    const bool ok = CqzAccessToken::GetCurrentProcessUser(user);
    return {ok, ::GetLastError()};
}

Outcome EffectiveImpersonationToken()
{
    CqzAccessToken token;
    const bool ok = token.GetEffectiveImpersonationToken();
    return {ok, token.LastError()};
}

// The process token, opened before the row's hooks go in.
Outcome UserLocaleLanguage(HANDLE processToken)
{
    CqzAccessToken token;
    token.Attach(processToken);
    std::wstring language = L"unchanged";
    const bool ok = token.GetUserLocaleLanguage(language);
    token.Detach();
    EXPECT_EQ(language, L"unchanged");
    return {ok, token.LastError()};
}

TEST(TokenFailureLines, CompleteTextsAtErrorUnderTheClassName)
{
    ASSERT_FALSE(ThreadImpersonates()) << "the rows expect a thread without a token of its own";
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, &raw));
    qztest::ScopedHandle processToken(raw);

    struct Row
    {
        const char* name;
        std::vector<Hook> hooks;
        std::function<Outcome()> operation;
        const char* line;
    };
    const std::vector<Row> rows = {
        {"GetCurrentProcessUser, the process token does not open",
         {{"advapi32.dll", "OpenProcessToken", reinterpret_cast<void*>(&FailingOpenProcessToken)}},
         CurrentProcessUser,
         "ERROR: Failed to get current process token."},
        {"GetCurrentProcessUser, the user cannot be read",
         {{"advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&FailingGetTokenInformation)}},
         CurrentProcessUser,
         "ERROR: CAccessToken::GetUser() failed."},
        {"GetEffectiveImpersonationToken, the thread token fails otherwise than with ERROR_NO_TOKEN",
         {{"advapi32.dll", "OpenThreadToken", reinterpret_cast<void*>(&FailingOpenThreadToken)}},
         EffectiveImpersonationToken,
         "ERROR: GetThreadToken failed."},
        {"GetEffectiveImpersonationToken, no thread token and the process token does not open",
         {{"advapi32.dll", "OpenProcessToken", reinterpret_cast<void*>(&FailingOpenProcessToken)}},
         EffectiveImpersonationToken,
         "ERROR: GetProcessToken failed."},
        {"GetEffectiveImpersonationToken, the process token cannot be duplicated",
         {{"advapi32.dll", "DuplicateToken", reinterpret_cast<void*>(&FailingDuplicateToken)}},
         EffectiveImpersonationToken,
         "ERROR: CreateImpersonationToken failed."},
        {"GetUserLocaleLanguage, the locale cannot be read while impersonating",
         {{"kernel32.dll", "GetLocaleInfoW", reinterpret_cast<void*>(&FailingGetLocaleInfoW)}},
         [&] { return UserLocaleLanguage(processToken.Get()); },
         "ERROR: GetUserDefaultLocaleName(LOCALE_SISO639LANGNAME)."},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        std::vector<std::unique_ptr<qztest::IatHook>> hooks;
        for (const Hook& hook : row.hooks)
        {
            hooks.push_back(std::make_unique<qztest::IatHook>(hook.dll, hook.function, hook.replacement));
            ASSERT_TRUE(hooks.back()->Installed()) << hook.function;
        }
        qztest::TraceCapture capture;
        ::SetLastError(0xDEADBEEF);
        const Outcome outcome = row.operation();
        // Removed in the reverse order of installing.
        while (!hooks.empty())
            hooks.pop_back();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, kHookError);
        EXPECT_EQ(capture.Entries(), (qztest::TraceEntries{{QZT_ERROR, "CqzAccessToken", row.line}}));
        EXPECT_FALSE(ThreadImpersonates());
    }
}

// A list whose count does not fit the bytes the second call returned fails
// that call's line with 13.
DWORD g_shortGroupsSize = 0;

BOOL WINAPI ShortGroupsGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID buffer, DWORD size, PDWORD returned)
{
    *returned = g_shortGroupsSize;
    if (buffer == nullptr || size < g_shortGroupsSize)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    static_cast<TOKEN_GROUPS*>(buffer)->GroupCount = 5; // room for one entry only
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

TEST(TokenFailureLines, AllocRefusesAListLongerThanItsBytes)
{
    g_shortGroupsSize = static_cast<DWORD>(offsetof(TOKEN_GROUPS, Groups) + sizeof(SID_AND_ATTRIBUTES));
    CqzAccessToken token;
    ASSERT_TRUE(token.GetProcessToken(TOKEN_QUERY));
    qztest::IatHook hook("advapi32.dll", "GetTokenInformation",
                         reinterpret_cast<void*>(&ShortGroupsGetTokenInformation));
    ASSERT_TRUE(hook.Installed());
    qztest::TraceCapture capture;
    CqzScopedHeap<BYTE> block;
    DWORD size = 0xDEADBEEF;
    EXPECT_FALSE(token.GetTokenInformationAlloc(TokenGroups, block, size));
    EXPECT_FALSE(block.IsValid());
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(capture.Entries(),
              (qztest::TraceEntries{{QZT_ERROR, "CqzAccessToken",
                                     "ERROR: GetTokenInformation(TokenGroups, " + std::to_string(g_shortGroupsSize) +
                                         ") failed. LastError=13"}}));
}

} // namespace
