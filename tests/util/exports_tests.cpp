// The typed export resolver against kernel32's own exports.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/util/exports.h"

namespace
{
typedef DWORD(WINAPI* GetCurrentProcessIdFn)();
typedef DWORD(WINAPI* GetLastErrorFn)();

TEST(Exports, ResolvesToACallableTypedPointer)
{
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    const GetCurrentProcessIdFn function = CqzResolveExport<GetCurrentProcessIdFn>(kernel32, "GetCurrentProcessId");
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(function(), ::GetCurrentProcessId());
    // The same address as the untyped lookup.
    EXPECT_EQ(reinterpret_cast<void*>(function), reinterpret_cast<void*>(CqzExportAs<GetCurrentProcessIdFn>(
                                                     ::GetProcAddress(kernel32, "GetCurrentProcessId"))));
}

TEST(Exports, MissingNamesAndModulesGiveNull)
{
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    ::SetLastError(0xDEADBEEF);
    EXPECT_EQ(CqzResolveExport<GetLastErrorFn>(kernel32, "NoSuchExportOfKernel32"), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // No module: nothing is looked up and the thread's error stays.
    ::SetLastError(0xDEADBEEF);
    EXPECT_EQ(CqzResolveExport<GetLastErrorFn>(nullptr, "GetLastError"), nullptr);
    EXPECT_EQ(::GetLastError(), 0xDEADBEEFu);

    EXPECT_EQ(CqzExportAs<GetLastErrorFn>(nullptr), nullptr);
}
} // namespace
