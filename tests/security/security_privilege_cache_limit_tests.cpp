// The privilege-LUID cache's 100-entry rule. This executable must be the
// first user of the cache in its process: the boundary is counted from an
// empty cache.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "testing/harness/harness.h"
#include "tests/security/sec_test_util.h"

namespace
{
typedef BOOL(WINAPI* LookupPrivilegeValueWFn)(LPCWSTR, LPCWSTR, PLUID);
LookupPrivilegeValueWFn g_original = nullptr;
long g_calls = 0;

BOOL WINAPI CountingLookup(LPCWSTR system, LPCWSTR name, PLUID luid)
{
    ++g_calls;
    return g_original(system, name, luid);
}

std::wstring UnknownName(int i)
{
    wchar_t name[64];
    std::swprintf(name, 64, L"SeQzMadeUpPrivilege%03d", i);
    return name;
}

// Whether a second lookup of the name is answered without the system.
bool IsCached(const std::wstring& name)
{
    const long before = g_calls;
    LUID luid = {};
    CqzAccessPriveleges::LookupPrivilegeValue(name.c_str(), luid);
    return g_calls == before;
}

TEST(PrivilegeCacheLimit, UnknownNamesStopAtOneHundredKnownNamesDoNot)
{
    qzsec::IatHook hook("advapi32.dll", "LookupPrivilegeValueW", reinterpret_cast<void*>(&CountingLookup));
    ASSERT_TRUE(hook.Installed());
    g_original = hook.OriginalAs<LookupPrivilegeValueWFn>();

    // Entries 1..100: unknown names are cached while the cache holds fewer
    // than 100 entries.
    for (int i = 0; i < 100; ++i)
    {
        LUID luid = {};
        const long before = g_calls;
        EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeValue(UnknownName(i).c_str(), luid)) << i;
        EXPECT_EQ(g_calls, before + 1) << i;
        EXPECT_TRUE(IsCached(UnknownName(i))) << "entry " << i + 1;
    }

    // The 101st unknown name is not cached: each lookup asks the system and
    // traces again.
    qztest::TraceCapture capture;
    EXPECT_FALSE(IsCached(UnknownName(100)));
    EXPECT_FALSE(IsCached(UnknownName(100)));
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{"INFO: Unknown prvilege name [SeQzMadeUpPrivilege100]. LastError=1313",
                                        "INFO: Unknown prvilege name [SeQzMadeUpPrivilege100]. LastError=1313"}));

    // A name that resolves is still added beyond 100.
    LUID luid = {};
    const long before = g_calls;
    ASSERT_TRUE(CqzAccessPriveleges::LookupPrivilegeValue(L"SeBackupPrivilege", luid));
    EXPECT_EQ(g_calls, before + 1);
    EXPECT_TRUE(IsCached(L"SeBackupPrivilege"));
    EXPECT_EQ(luid.LowPart, 17u);

    // The cached unknown names still answer from the cache.
    EXPECT_TRUE(IsCached(UnknownName(0)));
    EXPECT_TRUE(IsCached(UnknownName(99)));
    EXPECT_FALSE(IsCached(UnknownName(101)));
}

} // namespace
