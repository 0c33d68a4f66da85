// Failure lines of the label ACL and the descriptor labels that Wine never
// produces on its own (allocation and ACL/descriptor calls do not fail
// there): each is reached by making one system call fail through an
// import-table hook.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testing/harness/iat_hook.h"
#include "tests/acl/acl_test_util.h"

using acltest::SidOf;
using qztest::EntriesOf;
using qztest::TraceEntries;

namespace
{

const DWORD kHookError = ERROR_ACCESS_DENIED;

HLOCAL WINAPI FailingLocalAlloc(UINT, SIZE_T)
{
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL WINAPI FailingInitializeAcl(PACL, DWORD, DWORD)
{
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI FailingGetAclInformation(PACL, LPVOID, DWORD, ACL_INFORMATION_CLASS)
{
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingGetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL)
{
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingSetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL)
{
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingInitializeSecurityDescriptor(PSECURITY_DESCRIPTOR, DWORD)
{
    ::SetLastError(kHookError);
    return FALSE;
}

BOOL WINAPI FailingImpersonateSelf(SECURITY_IMPERSONATION_LEVEL)
{
    ::SetLastError(kHookError);
    return FALSE;
}

// Refuses only the label ACL copy's size, so that the rest of the process
// keeps its heap.
size_t g_refusedSize = 0;
void* (*g_originalMalloc)(size_t) = nullptr;
void* RefusingMalloc(size_t size)
{
    return size == g_refusedSize ? nullptr : g_originalMalloc(size);
}

const LabelAceEntry kMedium(SidOf(L"S-1-16-8192"), 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);

TEST(AclHookTest, LabelAclAllocationAndInitialisation)
{
    {
        qztest::IatHook hook("kernel32.dll", "LocalAlloc", reinterpret_cast<void*>(&FailingLocalAlloc));
        ASSERT_TRUE(hook.Installed());
        qztest::TraceCapture capture;
        const CqzLabelAcl acl(kMedium);
        EXPECT_EQ(acl.GetPACL(), nullptr);
        EXPECT_EQ(capture.Entries(),
                  EntriesOf(QZT_ERROR, "CqzLabelAcl", {"ERROR: LocalAlloc(LPTR,28) failed. LastError=8"}));
    }
    {
        qztest::IatHook hook("advapi32.dll", "InitializeAcl", reinterpret_cast<void*>(&FailingInitializeAcl));
        ASSERT_TRUE(hook.Installed());
        qztest::TraceCapture capture;
        const CqzLabelAcl acl(std::vector<LabelAceEntry>{kMedium, kMedium});
        EXPECT_EQ(acl.GetPACL(), nullptr);
        EXPECT_EQ(capture.Entries(),
                  EntriesOf(QZT_ERROR, "CqzLabelAcl", {"ERROR: InitializeAcl(size=48) failed. LastError=87"}));
    }
}

TEST(AclHookTest, LengthThatCannotBeRead)
{
    const CqzLabelAcl acl(kMedium);
    CqzSecurityDesc sd;
    ASSERT_TRUE(sd.SetHighLabel(1));
    const std::string before = qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts);
    qztest::IatHook hook("advapi32.dll", "GetAclInformation", reinterpret_cast<void*>(&FailingGetAclInformation));
    ASSERT_TRUE(hook.Installed());
    qztest::TraceCapture capture;
    EXPECT_EQ(acl.GetLength(), 0u);
    EXPECT_FALSE(sd.SetLabelAcl(acl)) << "a label of unknown size is not copied";
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), before);
    const std::string line = "ERROR: GetAclInformation(AclSizeInformation) failed. LastError=5";
    EXPECT_EQ(capture.Entries(), EntriesOf(QZT_ERROR, "CqzLabelAcl", {line, line}));
}

TEST(AclHookTest, DescriptorSaclCalls)
{
    const CqzLabelAcl acl(kMedium);
    CqzSecurityDesc sd;
    ASSERT_TRUE(sd.SetLowLabel(1));
    const std::string before = qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts);
    {
        qztest::IatHook hook("advapi32.dll", "GetSecurityDescriptorSacl",
                             reinterpret_cast<void*>(&FailingGetSecurityDescriptorSacl));
        ASSERT_TRUE(hook.Installed());
        qztest::TraceCapture capture;
        EXPECT_FALSE(sd.SetLabelAcl(acl));
        EXPECT_EQ(capture.Entries(),
                  EntriesOf(QZT_ERROR, "CqzSecurityDesc", {"ERROR: GetSecurityDescriptorSacl() failed. LastError=5"}));
    }
    {
        qztest::IatHook hook("advapi32.dll", "SetSecurityDescriptorSacl",
                             reinterpret_cast<void*>(&FailingSetSecurityDescriptorSacl));
        ASSERT_TRUE(hook.Installed());
        qztest::TraceCapture capture;
        EXPECT_FALSE(sd.SetLabelAcl(acl));
        EXPECT_EQ(capture.Entries(),
                  EntriesOf(QZT_ERROR, "CqzSecurityDesc", {"ERROR: SetSecurityDescriptorSacl() failed. LastError=5"}));
    }
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), before) << "the SACL is kept";
    {
        qztest::IatHook hook("msvcrt.dll", "malloc", reinterpret_cast<void*>(&RefusingMalloc));
        ASSERT_TRUE(hook.Installed());
        g_originalMalloc = hook.OriginalAs<void* (*)(size_t)>();
        g_refusedSize = acl.GetLength();
        qztest::TraceCapture capture;
        EXPECT_FALSE(sd.SetLabelAcl(acl));
        g_refusedSize = 0;
        EXPECT_EQ(capture.Entries(), EntriesOf(QZT_ERROR, "CqzSecurityDesc", {"ERROR: malloc(28) failed."}));
    }
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), before);
    ASSERT_TRUE(sd.SetLabelAcl(acl));
    EXPECT_EQ(qztest::SddlOf(sd.GetPSECURITY_DESCRIPTOR(), acltest::kAllParts), acltest::Canonical(L"S:(ML;;NW;;;ME)"));
}

TEST(AclHookTest, EmptyDescriptorThatCannotBeMadeThrows)
{
    const CqzLabelAcl acl(kMedium);
    CqzSecurityDesc sd;
    qztest::IatHook hook("advapi32.dll", "InitializeSecurityDescriptor",
                         reinterpret_cast<void*>(&FailingInitializeSecurityDescriptor));
    ASSERT_TRUE(hook.Installed());
    HRESULT hr = S_OK;
    try
    {
        sd.SetLabelAcl(acl);
    }
    catch (const CAtlException& e)
    {
        hr = e;
    }
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(sd.GetPSECURITY_DESCRIPTOR(), nullptr);
    // The other operations that make an empty descriptor answer false instead.
    EXPECT_FALSE(sd.SetOwner(SidOf(L"S-1-5-18")));
    EXPECT_EQ(::GetLastError(), kHookError);
}

TEST(AclHookTest, CallersTokenThatCannotBeHad)
{
    acltest::SddlDescriptor raw(L"O:SYG:SYD:(A;;0x1;;;WD)");
    const CqzSecurityDesc sd(raw.Get());
    qztest::IatHook hook("advapi32.dll", "ImpersonateSelf", reinterpret_cast<void*>(&FailingImpersonateSelf));
    ASSERT_TRUE(hook.Installed());
    qztest::TraceCapture capture;
    ACCESS_MASK access = 0xEEEEEEEE;
    EXPECT_FALSE(sd.GetMaxAllowedAccess(access));
    EXPECT_EQ(access, 0u);
    EXPECT_EQ(capture.Entries(), EntriesOf(QZT_ERROR, "CqzSecurityDesc", {"ERROR: Cannot get current thread token"}));
}

} // namespace
