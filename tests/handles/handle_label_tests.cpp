// Mandatory labels of the handle family: the real write (Wine stores no
// label on kernel objects), the readers on label ACLs Wine cannot produce
// (through an import-table hook of GetSecurityInfo), and the version gate
// (a probe Wine runs as Windows XP).
#include "common/security/qz_handle.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/security/access_token.h"
#include "testing/harness/iat_hook.h"
#include "tests/handles/handle_test_util.h"

using qzhandletest::Errors;
using qzhandletest::MutexWithSddl;
using qzhandletest::Reopen;
using qzhandletest::Sid;
using qztest::TraceEntries;

namespace
{

const char kHandle[] = "CqzHandle";

typedef DWORD(WINAPI* GetSecurityInfoFn)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                         PSECURITY_DESCRIPTOR*);

// What the hooked GetSecurityInfo answers for label reads: a copy of this
// self-relative descriptor, or the error when it is not 0.
struct LabelSeam
{
    GetSecurityInfoFn original = nullptr;
    std::vector<BYTE> descriptor;
    DWORD error = 0;
};
LabelSeam g_seam;

DWORD WINAPI SeamGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                 PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    if ((info & LABEL_SECURITY_INFORMATION) == 0)
        return g_seam.original(handle, type, info, owner, group, dacl, sacl, descriptor);
    if (g_seam.error != 0)
        return g_seam.error;
    void* copy = ::LocalAlloc(LPTR, g_seam.descriptor.size());
    if (copy == nullptr)
        return ERROR_OUTOFMEMORY;
    memcpy(copy, g_seam.descriptor.data(), g_seam.descriptor.size());
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL found = nullptr;
    ::GetSecurityDescriptorSacl(copy, &present, &found, &defaulted);
    if (sacl != nullptr)
        *sacl = present ? found : nullptr;
    if (descriptor != nullptr)
        *descriptor = copy;
    else
        ::LocalFree(copy);
    return ERROR_SUCCESS;
}

// One entry of a made-up SACL: a label (the SID's text) or an audit entry.
struct SaclEntry
{
    bool label;
    const wchar_t* sid;
};

// Wine keeps no label ACL on its objects, so the readers meet these only
// through this seam: the executable's import of GetSecurityInfo answers
// label reads with a descriptor built here (self-relative, with the given
// SACL, or without one for an empty list when withSacl is false).
class LabelHook
{
public:
    LabelHook(const std::vector<SaclEntry>& entries, bool withSacl = true)
        : m_hook("advapi32.dll", "GetSecurityInfo", reinterpret_cast<void*>(&SeamGetSecurityInfo))
    {
        g_seam.original = m_hook.OriginalAs<GetSecurityInfoFn>();
        g_seam.error = 0;
        g_seam.descriptor = Build(entries, withSacl);
    }
    explicit LabelHook(DWORD error) : LabelHook(std::vector<SaclEntry>{}) { g_seam.error = error; }
    ~LabelHook()
    {
        g_seam.descriptor.clear();
        g_seam.error = 0;
    }
    LabelHook(const LabelHook&) = delete;
    LabelHook& operator=(const LabelHook&) = delete;
    bool Ok() const { return m_hook.Installed() && !g_seam.descriptor.empty(); }

private:
    static std::vector<BYTE> Build(const std::vector<SaclEntry>& entries, bool withSacl)
    {
        BYTE aclBuffer[1024] = {};
        PACL acl = reinterpret_cast<PACL>(aclBuffer);
        SECURITY_DESCRIPTOR absolute;
        if (!::InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION) ||
            !::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION))
            return {};
        for (const SaclEntry& entry : entries)
        {
            const CSid sid = Sid(entry.sid);
            const BOOL added =
                entry.label ? ::AddMandatoryAce(acl, ACL_REVISION, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, sid.GetPSID())
                            : ::AddAuditAccessAce(acl, ACL_REVISION, GENERIC_ALL, sid.GetPSID(), TRUE, TRUE);
            if (!added)
                return {};
        }
        if (withSacl && !::SetSecurityDescriptorSacl(&absolute, TRUE, acl, FALSE))
            return {};
        DWORD size = 0;
        ::MakeSelfRelativeSD(&absolute, nullptr, &size);
        std::vector<BYTE> bytes(size);
        if (size == 0 || !::MakeSelfRelativeSD(&absolute, bytes.data(), &size))
            return {};
        return bytes;
    }

    qztest::IatHook m_hook;
};

std::vector<std::wstring> SidTexts(const std::vector<CSid>& sids)
{
    std::vector<std::wstring> texts;
    for (const CSid& sid : sids)
        texts.push_back(sid.Sid());
    return texts;
}

qztest::ScopedHandle PlainMutex()
{
    return MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)");
}

// ---------------------------------------------------------------------------
// The real objects
// ---------------------------------------------------------------------------

TEST(HandleLabels, WineStoresNoLabelOnKernelObjects)
{
    qztest::ScopedHandle mutex = PlainMutex();
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_OWNER).Release());
    qztest::TraceCapture capture;
    EXPECT_TRUE(object.SetLowIntegrity(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    EXPECT_EQ(object.LastError(), 0u);

    // What plain advapi32 reads back decides what the readers must answer.
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_EQ(::GetSecurityInfo(mutex.Get(), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                &sacl, &raw),
              static_cast<DWORD>(ERROR_SUCCESS));
    CqzScopedLocal<void> descriptor(raw);
    std::vector<CSid> labels;
    CSid label;
    ACL_SIZE_INFORMATION size = {};
    ASSERT_NE(sacl, nullptr) << "no label ACL at all";
    ASSERT_TRUE(::GetAclInformation(sacl, &size, sizeof(size), AclSizeInformation));
    if (size.AceCount == 0)
    {
        // Wine: an empty label ACL, nothing was kept.
        EXPECT_TRUE(object.GetMandatoryLabels(labels));
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_TRUE(labels.empty());
        EXPECT_EQ(capture.Entries(), TraceEntries{});
        EXPECT_FALSE(object.GetMandatoryLabel(label));
        EXPECT_EQ(object.LastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
        EXPECT_EQ(capture.Entries(),
                  (TraceEntries{{QZT_WARNING, kHandle, "WARNING: GetMandatoryLabels() returned 0 SIDs"}}));
    }
    else
    {
        EXPECT_TRUE(object.GetMandatoryLabels(labels));
        EXPECT_EQ(SidTexts(labels), std::vector<std::wstring>{L"S-1-16-4096"});
        EXPECT_TRUE(object.GetMandatoryLabel(label));
        EXPECT_EQ(label.Sid(), L"S-1-16-4096");
        EXPECT_EQ(capture.Entries(), TraceEntries{});
    }
}

TEST(HandleLabels, SetMandatoryLabelFailures)
{
    qztest::ScopedHandle mutex = PlainMutex();
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_OWNER).Release());
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.SetMandatoryLabel(CSid(), 0));
        EXPECT_EQ(object.LastError(), 1337u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: Invalid Sid parameter"}));
    }
    {
        // A handle that may not write: the system's error and both lines.
        CqzKernelObjectHandle reader(Reopen(mutex.Get(), SYNCHRONIZE).Release());
        qztest::TraceCapture capture;
        const bool written = reader.SetHighIntegrity(0);
        if (written)
            GTEST_SKIP() << "this system writes labels without WRITE_OWNER";
        const DWORD error = reader.LastError();
        EXPECT_NE(error, 0u);
        EXPECT_EQ(capture.Entries(),
                  Errors(kHandle, {"ERROR: ::SetSecurityInfo(16) failed. Error=" + std::to_string(error),
                                   "ERROR: Failed to set mandatory label"}));
    }
}

// ---------------------------------------------------------------------------
// Label ACLs through the seam
// ---------------------------------------------------------------------------

struct LabelCase
{
    const char* name;
    std::vector<SaclEntry> entries;
    bool withSacl;
    bool listed;
    std::vector<std::wstring> labels;
    DWORD listError;
    // GetMandatoryLabel
    bool found;
    const wchar_t* first;
    DWORD error;
    TraceEntries lines;
};

TEST(HandleLabels, ReadersOnLabelAcls)
{
    const std::vector<LabelCase> cases = {
        {"one label", {{true, L"S-1-16-4096"}}, true, true, {L"S-1-16-4096"}, 0, true, L"S-1-16-4096", 0, {}},
        {"two labels",
         {{true, L"S-1-16-12288"}, {true, L"S-1-16-4096"}},
         true,
         true,
         {L"S-1-16-12288", L"S-1-16-4096"},
         0,
         true,
         L"S-1-16-12288",
         0,
         {{QZT_WARNING, kHandle, "WARNING: GetMandatoryLabels() returned 2 SIDs"}}},
        {"audit entry and a label",
         {{false, L"S-1-1-0"}, {true, L"S-1-16-8192"}},
         true,
         true,
         {L"S-1-16-8192"},
         0,
         true,
         L"S-1-16-8192",
         0,
         {}},
        {"no label entry",
         {{false, L"S-1-1-0"}},
         true,
         true,
         {},
         0,
         false,
         L"",
         ERROR_NOT_FOUND,
         {{QZT_WARNING, kHandle, "WARNING: GetMandatoryLabels() returned 0 SIDs"}}},
        {"empty label ACL",
         {},
         true,
         true,
         {},
         0,
         false,
         L"",
         ERROR_NOT_FOUND,
         {{QZT_WARNING, kHandle, "WARNING: GetMandatoryLabels() returned 0 SIDs"}}},
        {"no SACL", {}, false, false, {}, ERROR_NOT_FOUND, false, L"", ERROR_NOT_FOUND, {}},
    };
    qztest::ScopedHandle mutex = PlainMutex();
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
    for (const LabelCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        LabelHook hook(row.entries, row.withSacl);
        ASSERT_TRUE(hook.Ok());
        qztest::TraceCapture capture;
        std::vector<CSid> labels;
        EXPECT_EQ(object.GetMandatoryLabels(labels), row.listed);
        EXPECT_EQ(object.LastError(), row.listError);
        EXPECT_EQ(SidTexts(labels), row.labels);
        EXPECT_EQ(capture.Entries(), TraceEntries{});

        qztest::TraceCapture labelCapture;
        CSid first;
        EXPECT_EQ(object.GetMandatoryLabel(first), row.found);
        EXPECT_EQ(object.LastError(), row.error);
        EXPECT_EQ(first.Sid(), row.first);
        EXPECT_EQ(labelCapture.Entries(), row.lines);
    }
}

TEST(HandleLabels, IntegrityRidOfTheFirstLabel)
{
    qztest::ScopedHandle mutex = PlainMutex();
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
    {
        LabelHook hook({{true, L"S-1-16-12288"}, {true, L"S-1-16-4096"}});
        ASSERT_TRUE(hook.Ok());
        qztest::TraceCapture capture;
        DWORD rid = 0;
        EXPECT_TRUE(object.GetIntegrityRid(rid));
        EXPECT_EQ(rid, 0x3000u);
        EXPECT_EQ(capture.Entries(),
                  (TraceEntries{{QZT_WARNING, kHandle, "WARNING: GetMandatoryLabels() returned 2 SIDs"}}));
    }
    {
        // A label SID with two sub-authorities is no integrity level.
        LabelHook hook({{true, L"S-1-16-4096-7"}});
        ASSERT_TRUE(hook.Ok());
        qztest::TraceCapture capture;
        DWORD rid = 0;
        EXPECT_FALSE(object.GetIntegrityRid(rid));
        EXPECT_EQ(object.LastError(), 1337u);
        EXPECT_EQ(capture.Entries(),
                  (TraceEntries{{QZT_WARNING, "CqzSid",
                                 "WARNING: SECURITY_MANDATORY_LABEL_AUTHORITY SID has unexpected subauthorities "
                                 "count: [S-1-16-4096-7]"},
                                {QZT_ERROR, kHandle, "ERROR: The label is no integrity level: S-1-16-4096-7"}}));
    }
}

TEST(HandleLabels, ReadFailureLine)
{
    qztest::ScopedHandle mutex = PlainMutex();
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
    LabelHook hook(static_cast<DWORD>(ERROR_ACCESS_DENIED));
    qztest::TraceCapture capture;
    CSid label;
    EXPECT_FALSE(object.GetMandatoryLabel(label));
    EXPECT_EQ(object.LastError(), 5u);
    EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: ::GetSecurityInfo(16) failed. Error=5"}));
}

TEST(HandleLabels, TokenWrapperReadsTheLabelThroughTheHandleClass)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), READ_CONTROL | TOKEN_QUERY, &raw));
    CqzAccessToken token;
    token.Attach(raw);
    LabelHook hook({{true, L"S-1-16-12288"}, {true, L"S-1-16-4096"}});
    ASSERT_TRUE(hook.Ok());
    const TraceEntries warning = {{QZT_WARNING, kHandle, "WARNING: GetMandatoryLabels() returned 2 SIDs"}};
    {
        qztest::TraceCapture capture;
        CSid label;
        EXPECT_TRUE(token.GetMandatoryLabel(label));
        EXPECT_EQ(label.Sid(), L"S-1-16-12288");
        EXPECT_EQ(token.LastError(), 0u);
        EXPECT_EQ(capture.Entries(), warning);
    }
    {
        qztest::TraceCapture capture;
        DWORD rid = 0;
        EXPECT_TRUE(token.GetMandatoryLabelRid(rid));
        EXPECT_EQ(rid, 0x3000u);
        EXPECT_EQ(capture.Entries(), warning);
    }
    EXPECT_TRUE(qzhandletest::HandleIsOpen(raw));
}

// ---------------------------------------------------------------------------
// Before Vista
// ---------------------------------------------------------------------------

qztest::KeyValues RunProbe(const wchar_t* exeName, const qztest::TempDir& dir)
{
    const std::wstring exe = qztest::BinDir() + L"\\" + exeName;
    const std::wstring result = dir / L"probe.txt";
    const qztest::ProcessResult run = qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + qztest::QuoteArg(result));
    EXPECT_TRUE(run.started && run.finished) << run.error;
    EXPECT_EQ(run.exitCode, 0u);
    return qztest::ReadKeyValues(result);
}

TEST(HandleLabels, BeforeVistaSettersDoNothingAndReadersAnswer50)
{
    qztest::TempDir dir(L"qzh");
    qztest::WineVersionScope xp(L"handle_probe_xp.exe", L"winxp");
    ASSERT_TRUE(xp.Ok());
    const qztest::KeyValues old = RunProbe(L"handle_probe_xp.exe", dir);
    EXPECT_EQ(old.Get("major"), "5");
    EXPECT_EQ(old.Get("set"), "1");
    EXPECT_EQ(old.Get("set_error"), "0");
    EXPECT_EQ(old.Get("set_empty"), "1");
    EXPECT_EQ(old.Get("set_empty_error"), "0");
    EXPECT_EQ(old.Get("get"), "0");
    EXPECT_EQ(old.Get("get_error"), "50");
    EXPECT_EQ(old.Get("get_count"), "0");
    EXPECT_EQ(old.Get("token_get"), "0");
    EXPECT_EQ(old.Get("token_get_error"), "50");
    EXPECT_EQ(old.Get("token_set"), "1");
    EXPECT_EQ(old.Get("token_set_error"), "0");

    // The same probe under its own name: the operations run for real.
    const qztest::KeyValues current = RunProbe(L"handle_probe.exe", dir);
    EXPECT_NE(current.Get("major"), "5");
    EXPECT_EQ(current.Get("set"), "1");
    EXPECT_EQ(current.Get("set_empty"), "0");
    EXPECT_EQ(current.Get("set_empty_error"), "6");
    EXPECT_EQ(current.Get("get_count"), "0");
    EXPECT_NE(current.Get("get_error"), "50");
    EXPECT_NE(current.Get("token_get_error"), "50");
}

} // namespace
