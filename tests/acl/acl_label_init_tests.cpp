// The one-time resolution of AddMandatoryAce: its two failure lines (the
// library or the export missing, made so through import-table hooks: Wine's
// advapi32 always has it), and that once resolved it is not looked for
// again. Its own program: the resolution is kept for the process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/util/os.h"
#include "testing/harness/iat_hook.h"
#include "tests/acl/acl_test_util.h"

using qztest::EntriesOf;

namespace
{

std::wstring g_loadedPath;
unsigned g_loads = 0;

HMODULE WINAPI FailingLoadLibraryW(LPCWSTR path)
{
    ++g_loads;
    g_loadedPath = path ? path : L"";
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC(WINAPI* g_originalGetProcAddress)(HMODULE, LPCSTR) = nullptr;
FARPROC WINAPI RefusingGetProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "AddMandatoryAce") == 0)
    {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_originalGetProcAddress(module, name);
}

TEST(LabelAclInitTest, ResolvedOnceByFullPath)
{
    const LabelAceEntry entry(acltest::SidOf(L"S-1-16-8192"), 0, 1);
    {
        qztest::IatHook hook("kernel32.dll", "LoadLibraryW", reinterpret_cast<void*>(&FailingLoadLibraryW));
        ASSERT_TRUE(hook.Installed());
        qztest::TraceCapture capture;
        const CqzLabelAcl acl(entry);
        EXPECT_EQ(acl.GetPACL(), nullptr);
        EXPECT_EQ(capture.Entries(),
                  EntriesOf(QZT_ERROR, "CqzLabelAcl",
                            {"ERROR: LoadLibrary(advapi32.dll) failed. LastError=126", "ERROR: Failed to add ACE"}));
        EXPECT_EQ(g_loadedPath, CqzOperatingSystem::GetSystemDirectoryCached() + L"\\advapi32.dll");
        EXPECT_FALSE(CqzLabelAcl::_InitClass()) << "a failure is not kept: the next call tries again";
        EXPECT_EQ(g_loads, 2u);
    }
    {
        qztest::IatHook hook("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&RefusingGetProcAddress));
        ASSERT_TRUE(hook.Installed());
        g_originalGetProcAddress = hook.OriginalAs<FARPROC(WINAPI*)(HMODULE, LPCSTR)>();
        qztest::TraceCapture capture;
        const CqzLabelAcl acl(entry);
        EXPECT_EQ(acl.GetPACL(), nullptr);
        EXPECT_EQ(capture.Entries(), EntriesOf(QZT_ERROR, "CqzLabelAcl",
                                               {"ERROR: GetProcAddress(AddMandatoryAce) failed. LastError=127",
                                                "ERROR: Failed to add ACE"}));
    }
    const CqzLabelAcl acl(entry);
    ASSERT_NE(acl.GetPACL(), nullptr);
    // Resolved: no more loading.
    qztest::IatHook hook("kernel32.dll", "LoadLibraryW", reinterpret_cast<void*>(&FailingLoadLibraryW));
    g_loads = 0;
    EXPECT_TRUE(CqzLabelAcl::_InitClass());
    const CqzLabelAcl again(entry);
    EXPECT_NE(again.GetPACL(), nullptr);
    EXPECT_EQ(g_loads, 0u);
}

} // namespace
