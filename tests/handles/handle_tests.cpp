// The handle family: close rules, the empty object, security read and
// written on real Wine objects (checked as SDDL through plain advapi32),
// kernel-object descriptors, file rename and delete, user-object
// information, and the token wrapper's object security that now goes
// through these classes.
#include "common/security/qz_handle.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/security.h"
#include "tests/handles/handle_test_util.h"

using qzhandletest::DescriptorOf;
using qzhandletest::Errors;
using qzhandletest::EventWithSddl;
using qzhandletest::HandleIsOpen;
using qzhandletest::MutexWithSddl;
using qzhandletest::ObjectSddl;
using qzhandletest::Reopen;
using qzhandletest::Sid;
using qztest::TraceEntries;

namespace
{

const char kHandle[] = "CqzHandle";
const char kKernel[] = "CqzKernelObjectHandle";
const char kFile[] = "CqzFileObjectHandle";
const char kWindow[] = "CqzWindowObjectHandle";

// The base class alone: its close rule is the one every kernel object
// inherits.
class PlainHandle : public CqzHandle
{
public:
    explicit PlainHandle(HANDLE h) : CqzHandle(h) {}
    SE_OBJECT_TYPE GetObjectType() const override { return SE_KERNEL_OBJECT; }
};

// ---------------------------------------------------------------------------
// Close rules
// ---------------------------------------------------------------------------

TEST(HandleCloseRules, OwnedKernelAndFileHandlesAreClosed)
{
    const auto owned = [](const char* row, const std::function<void(HANDLE)>& wrapAndDestroy)
    {
        SCOPED_TRACE(row);
        HANDLE mutex = ::CreateMutexW(nullptr, FALSE, nullptr);
        ASSERT_NE(mutex, nullptr);
        wrapAndDestroy(mutex);
        EXPECT_FALSE(HandleIsOpen(mutex));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    };
    owned("CqzHandle", [](HANDLE h) { PlainHandle object(h); });
    owned("CqzKernelObjectHandle", [](HANDLE h) { CqzKernelObjectHandle object(h); });
    owned("CqzFileObjectHandle", [](HANDLE h) { CqzFileObjectHandle object(h); });

    // INVALID_HANDLE_VALUE is an empty file object: nothing is closed, and
    // the object is not valid.
    CqzFileObjectHandle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid.IsValid());
    EXPECT_EQ(invalid.LastError(), 6u);
    EXPECT_FALSE(CqzFileObjectHandle::IsValidHandle(nullptr));
    EXPECT_FALSE(CqzFileObjectHandle::IsValidHandle(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(CqzFileObjectHandle::IsValidHandle(reinterpret_cast<HANDLE>(0x44)));
}

TEST(HandleCloseRules, BorrowedKeyAndServiceStayOpen)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    {
        CqzRegistryKeyHandle object(key);
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_EQ(object.GetObjectType(), SE_REGISTRY_KEY);
    }
    DWORD subKeys = 0;
    EXPECT_EQ(::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr),
              ERROR_SUCCESS)
        << "the key was closed";
    ::RegCloseKey(key);

    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager);
    CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), L"RpcSs", SERVICE_QUERY_STATUS));
    ASSERT_TRUE(service);
    {
        CqzServiceObjectHandle object(service.Get());
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_EQ(object.GetObjectType(), SE_SERVICE);
    }
    SERVICE_STATUS status = {};
    EXPECT_TRUE(::QueryServiceStatus(service.Get(), &status)) << "the service handle was closed";
}

TEST(HandleCloseRules, DesktopAndWindowStationAreClosedWithTheirOwnFunctions)
{
    wchar_t name[64] = {};
    HWINSTA station = ::OpenWindowStationW(L"WinSta0", FALSE, WINSTA_READATTRIBUTES);
    ASSERT_NE(station, nullptr);
    {
        CqzWindowStationHandle object(station);
        EXPECT_EQ(object.GetObjectType(), SE_WINDOW_OBJECT);
    }
    EXPECT_FALSE(::GetUserObjectInformationW(station, UOI_NAME, name, sizeof(name), nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HDESK desktop = ::OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS);
    ASSERT_NE(desktop, nullptr);
    {
        CqzDesktopHandle object(desktop);
        EXPECT_EQ(object.GetObjectType(), SE_WINDOW_OBJECT);
    }
    EXPECT_FALSE(::GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof(name), nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(HandleCloseRules, ObjectTypesAndInitialErrors)
{
    CqzKernelObjectHandle kernel;
    EXPECT_EQ(kernel.GetObjectType(), SE_KERNEL_OBJECT);
    EXPECT_EQ(kernel.LastError(), 6u);
    EXPECT_EQ(kernel.m_h, nullptr);
    CqzFileObjectHandle file;
    EXPECT_EQ(file.GetObjectType(), SE_FILE_OBJECT);
    EXPECT_EQ(file.LastError(), 6u);
    CqzKernelObjectHandle fromNull(nullptr);
    EXPECT_EQ(fromNull.LastError(), 6u);
    CqzRegistryKeyHandle nullKey(nullptr);
    EXPECT_EQ(nullKey.LastError(), 6u);
    CqzServiceObjectHandle nullService(nullptr);
    EXPECT_EQ(nullService.LastError(), 6u);
}

// ---------------------------------------------------------------------------
// The empty object
// ---------------------------------------------------------------------------

struct EmptyCase
{
    const char* name;
    std::function<bool()> call;
    TraceEntries entries;
    DWORD error;
};

TEST(HandleEmptyObject, EveryQueryAnswersFalseWithSix)
{
    CqzKernelObjectHandle kernel;
    CqzKernelObjectHandle emptySource;
    CqzFileObjectHandle file;
    CqzDesktopHandle desktop(nullptr);
    const CSid everyone = Sid(L"S-1-1-0");
    const TraceEntries handleNull = Errors(kHandle, {"ERROR: Handle is NULL"});
    const TraceEntries tokenNull = Errors(kHandle, {"ERROR: Token is NULL"});
    const std::vector<EmptyCase> cases = {
        {"SetSecurityInfo",
         [&] { return kernel.SetSecurityInfo(DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr); },
         tokenNull, 6},
        {"SetOwner", [&] { return kernel.SetOwner(everyone); }, tokenNull, 6},
        {"SetGroup", [&] { return kernel.SetGroup(everyone); }, tokenNull, 6},
        {"SetDacl", [&] { return kernel.SetDacl(CDacl()); }, tokenNull, 6},
        {"_GetSecurityInfo",
         [&]
         {
             CqzScopedLocal<void> descriptor;
             return kernel._GetSecurityInfo(DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, descriptor);
         },
         handleNull, 6},
        {"GetOwner",
         [&]
         {
             CSid sid;
             return kernel.GetOwner(sid);
         },
         handleNull, 6},
        {"GetGroup",
         [&]
         {
             CSid sid;
             return kernel.GetGroup(sid);
         },
         handleNull, 6},
        {"GetDacl",
         [&]
         {
             CDacl dacl;
             return kernel.GetDacl(dacl);
         },
         handleNull, 6},
        {"GetSacl",
         [&]
         {
             CDacl sacl;
             return kernel.GetSacl(sacl);
         },
         handleNull, 6},
        {"DisableInheritance", [&] { return kernel.DisableInheritance(); },
         Errors(kHandle, {"ERROR: Handle is NULL", "ERROR: Failed to get DACL"}), 6},
        {"MergeAllowedAce", [&] { return kernel.MergeAllowedAce(everyone, SYNCHRONIZE); }, handleNull, 6},
        {"SetExplicitAccess",
         [&]
         { return kernel.SetExplicitAccess(SYNCHRONIZE, GRANT_ACCESS, NO_INHERITANCE, everyone, TRUSTEE_IS_GROUP); },
         handleNull, 6},
        {"RemoveAces", [&] { return kernel.RemoveAces(everyone); }, handleNull, 6},
        {"GetMandatoryLabels",
         [&]
         {
             std::vector<CSid> labels;
             return kernel.GetMandatoryLabels(labels);
         },
         handleNull, 6},
        {"GetMandatoryLabel",
         [&]
         {
             CSid label;
             return kernel.GetMandatoryLabel(label);
         },
         handleNull, 6},
        {"GetIntegrityRid",
         [&]
         {
             DWORD rid = 0;
             return kernel.GetIntegrityRid(rid);
         },
         handleNull, 6},
        {"SetLowIntegrity", [&] { return kernel.SetLowIntegrity(0); },
         Errors(kHandle, {"ERROR: Token is NULL", "ERROR: Failed to set mandatory label"}), 6},
        {"GetGrantedAccess",
         [&]
         {
             ACCESS_MASK access = 0;
             return kernel.GetGrantedAccess(access);
         },
         handleNull, 6},
        {"GetMaxAllowedAccess(token)",
         [&]
         {
             ACCESS_MASK access = 0;
             return kernel.GetMaxAllowedAccess(nullptr, access);
         },
         handleNull, 6},
        {"GetMaxAllowedAccess",
         [&]
         {
             ACCESS_MASK access = 0;
             return kernel.GetMaxAllowedAccess(access);
         },
         handleNull, 6},
        {"GetTypeName",
         [&]
         {
             std::wstring name;
             return kernel.GetTypeName(name);
         },
         handleNull, 6},
        {"GetName",
         [&]
         {
             std::wstring name;
             return kernel.GetName(name);
         },
         handleNull, 6},
        {"GetSystemHandleInformation",
         [&]
         {
             CqzHandle::SystemHandleEntry entry;
             return kernel.GetSystemHandleInformation(entry);
         },
         handleNull, 6},
        {"GetSecurity",
         [&]
         {
             CqzScopedLocal<void> descriptor;
             return kernel.GetSecurity(DACL_SECURITY_INFORMATION, descriptor);
         },
         Errors(kKernel, {"ERROR: Handle is NULL"}), 6},
        {"SetSecurity",
         [&]
         {
             CqzScopedLocal<void> descriptor = DescriptorOf(L"D:");
             return kernel.SetSecurity(DACL_SECURITY_INFORMATION, descriptor.Get());
         },
         Errors(kKernel, {"ERROR: Handle is NULL"}), 6},
        {"SetSecurity(source)", [&] { return kernel.SetSecurity(emptySource); },
         Errors(kKernel, {"ERROR: Handle is NULL", "ERROR: srcToken.GetSecurity() failed"}), 6},
        {"Rename", [&] { return file.Rename(L"C:\\x"); }, Errors(kFile, {"ERROR: invalid object."}), 6},
        {"Delete", [&] { return file.Delete(); }, Errors(kFile, {"ERROR: invalid object."}), 6},
        {"GetUserObjectName",
         [&]
         {
             std::wstring name;
             return desktop.GetUserObjectName(name);
         },
         Errors(kWindow, {"ERROR: Handle is NULL"}), 6},
        {"GetUserObjectType",
         [&]
         {
             std::wstring type;
             return desktop.GetUserObjectType(type);
         },
         Errors(kWindow, {"ERROR: Handle is NULL"}), 6},
    };
    for (const EmptyCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        qztest::TraceCapture capture;
        EXPECT_FALSE(row.call());
        EXPECT_EQ(capture.Entries(), row.entries);
        const DWORD error = std::string(row.name).find("Rename") == 0 || std::string(row.name) == "Delete"
                                ? file.LastError()
                            : std::string(row.name).find("GetUserObject") == 0 ? desktop.LastError()
                                                                               : kernel.LastError();
        EXPECT_EQ(error, row.error);
    }
}

// ---------------------------------------------------------------------------
// Reading and writing security information on real objects
// ---------------------------------------------------------------------------

TEST(HandleSecurity, OwnerGroupAndDaclAreReadAndWritten)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), MUTEX_ALL_ACCESS).Release());
    CSid owner;
    CSid group;
    CDacl dacl;
    qztest::TraceCapture capture;
    ASSERT_TRUE(object.GetOwner(owner));
    EXPECT_EQ(owner.Sid(), L"S-1-5-32-544");
    ASSERT_TRUE(object.GetGroup(group));
    EXPECT_EQ(group.Sid(), L"S-1-5-18");
    ASSERT_TRUE(object.GetDacl(dacl));
    EXPECT_FALSE(dacl.IsNull());
    ASSERT_EQ(dacl.GetAceCount(), 2u);
    CSid second;
    ACCESS_MASK mask = 0;
    ASSERT_TRUE(dacl.GetAclEntry(1, &second, &mask));
    EXPECT_EQ(second.Sid(), L"S-1-1-0");
    EXPECT_EQ(mask, static_cast<ACCESS_MASK>(SYNCHRONIZE));

    EXPECT_TRUE(object.SetGroup(Sid(L"S-1-5-32-544")));
    EXPECT_TRUE(object.SetOwner(Sid(L"S-1-5-18")));
    CDacl replaced;
    ASSERT_TRUE(replaced.AddAllowedAce(Sid(L"S-1-5-18"), MUTEX_ALL_ACCESS));
    EXPECT_TRUE(object.SetDacl(replaced));
    EXPECT_EQ(ObjectSddl(mutex.Get()), "O:SYG:BAD:(A;;0x1f0001;;;SY)");
    EXPECT_EQ(object.LastError(), 0u);
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

// Whether the object's DACL, read with plain advapi32, is a NULL DACL.
bool HasNullDacl(HANDLE object)
{
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &raw) != ERROR_SUCCESS)
        return false;
    CqzScopedLocal<void> descriptor(raw);
    return dacl == nullptr;
}

TEST(HandleSecurity, AbsentDaclIsAnEmptyObjectMarkedNull)
{
    // A NULL DACL: GetSecurityInfo gives no list.
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    qztest::ScopedHandle mutex(::CreateMutexW(&attributes, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(HasNullDacl(mutex.Get()));
    CqzKernelObjectHandle object(Reopen(mutex.Get(), MUTEX_ALL_ACCESS).Release());
    CDacl dacl;
    ASSERT_TRUE(dacl.AddAllowedAce(Sid(L"S-1-1-0"), 1));
    ASSERT_TRUE(object.GetDacl(dacl));
    EXPECT_TRUE(dacl.IsNull());
    EXPECT_EQ(dacl.GetAceCount(), 0u);

    // The null DACL already grants everything: merging leaves it alone
    // (writing the merged list would lock everybody else out).
    qztest::TraceCapture capture;
    EXPECT_TRUE(object.MergeAllowedAce(Sid(L"S-1-5-18"), SYNCHRONIZE));
    EXPECT_EQ(object.LastError(), 0u);
    EXPECT_TRUE(HasNullDacl(mutex.Get()));
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(HandleSecurity, ReadAndWriteFailuresCarryTheFunctionsResult)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)");
    ASSERT_TRUE(mutex);
    // No READ_CONTROL, no WRITE_DAC.
    CqzKernelObjectHandle object(Reopen(mutex.Get(), SYNCHRONIZE).Release());
    {
        qztest::TraceCapture capture;
        CDacl dacl;
        EXPECT_FALSE(object.GetDacl(dacl));
        EXPECT_EQ(object.LastError(), 5u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: ::GetSecurityInfo(4) failed. Error=5"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.SetDacl(CDacl()));
        EXPECT_EQ(object.LastError(), 5u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: ::SetSecurityInfo(4) failed. Error=5"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.DisableInheritance());
        EXPECT_EQ(capture.Entries(),
                  Errors(kHandle, {"ERROR: ::GetSecurityInfo(4) failed. Error=5", "ERROR: Failed to get DACL"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.SetOwner(CSid()));
        EXPECT_EQ(object.LastError(), 1337u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: Invalid Sid parameter"}));
    }
}

struct EditCase
{
    const char* name;
    const wchar_t* before;
    std::function<bool(CqzHandle&)> edit;
    const char* after;
};

TEST(HandleSecurity, DaclEditsOnRealObjects)
{
    const CSid everyone = Sid(L"S-1-1-0");
    const CSid system = Sid(L"S-1-5-18");
    const std::vector<EditCase> cases = {
        {"SetExplicitAccess grants a new trustee", L"O:BAG:SYD:(A;;0x1f0001;;;BA)",
         [&](CqzHandle& h) {
             return h.SetExplicitAccess(SYNCHRONIZE, GRANT_ACCESS, NO_INHERITANCE, everyone,
                                        TRUSTEE_IS_WELL_KNOWN_GROUP);
         },
         "D:(A;;0x100000;;;WD)(A;;0x1f0001;;;BA)"},
        {"SetExplicitAccess denies", L"O:BAG:SYD:(A;;0x1f0001;;;BA)",
         [&](CqzHandle& h)
         { return h.SetExplicitAccess(0x1, DENY_ACCESS, NO_INHERITANCE, everyone, TRUSTEE_IS_WELL_KNOWN_GROUP); },
         "D:(D;;CC;;;WD)(A;;0x1f0001;;;BA)"},
        {"SetExplicitAccess revokes", L"O:BAG:SYD:(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)",
         [&](CqzHandle& h)
         { return h.SetExplicitAccess(0, REVOKE_ACCESS, NO_INHERITANCE, everyone, TRUSTEE_IS_WELL_KNOWN_GROUP); },
         "D:(A;;0x1f0001;;;BA)"},
        {"RemoveAces removes every type", L"O:BAG:SYD:(D;;0x1;;;WD)(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)",
         [&](CqzHandle& h) { return h.RemoveAces(everyone); }, "D:(A;;0x1f0001;;;BA)"},
        {"RemoveAces of an absent SID", L"O:BAG:SYD:(A;;0x1f0001;;;BA)",
         [&](CqzHandle& h) { return h.RemoveAces(system); }, "D:(A;;0x1f0001;;;BA)"},
        {"MergeAllowedAce not covered", L"O:BAG:SYD:(D;;0x1;;;WD)(A;;0x100000;;;WD)(A;;0x1f0001;;;BA)",
         [&](CqzHandle& h) { return h.MergeAllowedAce(everyone, 0x1); }, "D:(A;;0x1f0001;;;BA)(A;;0x100001;;;WD)"},
        {"MergeAllowedAce covered", L"O:BAG:SYD:(A;;0x1f0001;;;BA)(A;;0x100001;;;WD)",
         [&](CqzHandle& h) { return h.MergeAllowedAce(everyone, SYNCHRONIZE); },
         "D:(A;;0x1f0001;;;BA)(A;;0x100001;;;WD)"},
    };
    for (const EditCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        qztest::ScopedHandle mutex = MutexWithSddl(row.before);
        ASSERT_TRUE(mutex);
        CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_DAC).Release());
        qztest::TraceCapture capture;
        EXPECT_TRUE(row.edit(object));
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_EQ(ObjectSddl(mutex.Get(), DACL_SECURITY_INFORMATION), row.after);
        EXPECT_EQ(capture.Entries(), TraceEntries{});
    }
}

typedef DWORD(WINAPI* SetSecurityInfoFn)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);

// What the handle class handed to SetSecurityInfo.
struct SetSecurityInfoCall
{
    SetSecurityInfoFn original = nullptr;
    std::vector<SECURITY_INFORMATION> flags;
    std::vector<std::string> dacls;
};
SetSecurityInfoCall g_setCall;

DWORD WINAPI RecordingSetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION flags, PSID owner,
                                      PSID group, PACL dacl, PACL sacl)
{
    g_setCall.flags.push_back(flags);
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    g_setCall.dacls.push_back(qztest::SddlOf(&descriptor, DACL_SECURITY_INFORMATION));
    return g_setCall.original(handle, type, flags, owner, group, dacl, sacl);
}

TEST(HandleSecurity, DisableInheritanceWritesTheDaclBackProtected)
{
    // Wine keeps no protected bit (neither on kernel objects nor on files),
    // so what is written is seen through a seam: the executable's import of
    // SetSecurityInfo records its arguments and hands them on.
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_DAC).Release());
    qzhandletest::IatHookGuard hook("advapi32.dll", "SetSecurityInfo", &RecordingSetSecurityInfo, g_setCall.original);
    ASSERT_TRUE(hook.Installed());
    g_setCall.flags.clear();
    g_setCall.dacls.clear();
    qztest::TraceCapture capture;
    EXPECT_TRUE(object.DisableInheritance());
    EXPECT_EQ(object.LastError(), 0u);
    EXPECT_EQ(g_setCall.flags, std::vector<SECURITY_INFORMATION>{0x80000004});
    EXPECT_EQ(g_setCall.dacls, std::vector<std::string>{"D:(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)"});
    EXPECT_EQ(capture.Entries(), TraceEntries{});
    const std::string after = ObjectSddl(mutex.Get(), DACL_SECURITY_INFORMATION);
    EXPECT_TRUE(after == "D:(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)" || after == "D:P(A;;0x1f0001;;;BA)(A;;0x100000;;;WD)")
        << after;
}

TEST(HandleSecurity, CoveredMergeDoesNotWrite)
{
    // Without WRITE_DAC a write would fail: a covered merge answers true
    // without one, an uncovered one reaches the write and fails.
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)(A;;0x100001;;;WD)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
    {
        qztest::TraceCapture capture;
        EXPECT_TRUE(object.MergeAllowedAce(Sid(L"S-1-1-0"), 0x1));
        EXPECT_EQ(capture.Entries(), TraceEntries{});
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.MergeAllowedAce(Sid(L"S-1-1-0"), 0x2));
        EXPECT_EQ(object.LastError(), 5u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: ::SetSecurityInfo(4) failed. Error=5"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.RemoveAces(Sid(L"S-1-1-0")));
        EXPECT_EQ(capture.Entries(),
                  Errors(kHandle, {"ERROR: ::SetSecurityInfo(4) failed. Error=5", "ERROR: SetDacl failed"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(object.DisableInheritance());
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: ::SetSecurityInfo(2147483652) failed. Error=5",
                                                      "ERROR: Failed to disable inheritance"}));
    }
    EXPECT_EQ(ObjectSddl(mutex.Get(), DACL_SECURITY_INFORMATION), "D:(A;;0x1f0001;;;BA)(A;;0x100001;;;WD)");
}

TEST(HandleSecurity, RemoveAcesOfAnInvalidSidNamesIt)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_DAC).Release());
    qztest::TraceCapture capture;
    EXPECT_FALSE(object.RemoveAces(CSid()));
    EXPECT_EQ(object.LastError(), 1337u);
    EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: RemoveAces failed, sid: :"}));
}

TEST(HandleSecurity, SetExplicitAccessFailureLine)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_DAC).Release());
    qztest::TraceCapture capture;
    // An access mode SetEntriesInAclW does not know.
    EXPECT_FALSE(object.SetExplicitAccess(SYNCHRONIZE, static_cast<ACCESS_MODE>(77), NO_INHERITANCE, Sid(L"S-1-1-0"),
                                          TRUSTEE_IS_GROUP));
    const DWORD error = object.LastError();
    EXPECT_NE(error, 0u);
    EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: SetEntriesInAcl failed. err=" + std::to_string(error)}));
    EXPECT_EQ(ObjectSddl(mutex.Get(), DACL_SECURITY_INFORMATION), "D:(A;;0x1f0001;;;BA)");
}

// ---------------------------------------------------------------------------
// Kernel-object descriptors
// ---------------------------------------------------------------------------

TEST(HandleKernelSecurity, CopiesOwnerGroupAndDaclBetweenObjects)
{
    qztest::ScopedHandle source = MutexWithSddl(L"O:SYG:BAD:(A;;0x1f0001;;;WD)(A;;0x100000;;;SY)");
    qztest::ScopedHandle target = EventWithSddl(L"O:BAG:SYD:(A;;0x1f0003;;;BA)");
    ASSERT_TRUE(source);
    ASSERT_TRUE(target);
    CqzKernelObjectHandle from(Reopen(source.Get(), READ_CONTROL).Release());
    CqzKernelObjectHandle to(Reopen(target.Get(), READ_CONTROL | WRITE_DAC | WRITE_OWNER).Release());
    qztest::TraceCapture capture;
    EXPECT_TRUE(to.SetSecurity(from));
    EXPECT_EQ(to.LastError(), 0u);
    EXPECT_EQ(ObjectSddl(target.Get()), "O:SYG:BAD:(A;;0x1f0001;;;WD)(A;;0x100000;;;SY)");
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(HandleKernelSecurity, CopyFailuresNameTheirSide)
{
    qztest::ScopedHandle source = MutexWithSddl(L"O:SYG:BAD:(A;;0x1f0001;;;WD)");
    qztest::ScopedHandle target = EventWithSddl(L"O:BAG:SYD:(A;;0x1f0003;;;BA)");
    ASSERT_TRUE(source);
    ASSERT_TRUE(target);
    {
        CqzKernelObjectHandle from(Reopen(source.Get(), SYNCHRONIZE).Release());
        CqzKernelObjectHandle to(Reopen(target.Get(), READ_CONTROL | WRITE_DAC | WRITE_OWNER).Release());
        qztest::TraceCapture capture;
        EXPECT_FALSE(to.SetSecurity(from));
        EXPECT_EQ(to.LastError(), 5u);
        EXPECT_EQ(capture.Entries(), Errors(kKernel, {"ERROR: GetKernelObjectSecurity(23) failed. LastError=5",
                                                      "ERROR: srcToken.GetSecurity() failed"}));
    }
    {
        CqzKernelObjectHandle from(Reopen(source.Get(), READ_CONTROL).Release());
        CqzKernelObjectHandle to(Reopen(target.Get(), READ_CONTROL).Release());
        qztest::TraceCapture capture;
        EXPECT_FALSE(to.SetSecurity(from));
        EXPECT_EQ(to.LastError(), 5u);
        EXPECT_EQ(capture.Entries(), Errors(kKernel, {"ERROR: SetKernelObjectSecurity(23) failed. LastError=5",
                                                      "ERROR: this->SetSecurity() failed"}));
    }
    EXPECT_EQ(ObjectSddl(target.Get()), "O:BAG:SYD:(A;;0x1f0003;;;BA)");
}

TEST(HandleKernelSecurity, LargeDescriptorIsReadInASecondCall)
{
    // Seventy entries of 36 bytes: well past the first 1024-byte read.
    std::wstring sddl = L"O:BAG:SYD:";
    for (int i = 1; i <= 70; ++i)
        sddl += L"(A;;0x100000;;;S-1-5-21-1000-2000-3000-" + std::to_wstring(1000 + i) + L")";
    qztest::ScopedHandle mutex = MutexWithSddl(sddl.c_str());
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
    CqzScopedLocal<void> descriptor;
    qztest::TraceCapture capture;
    ASSERT_TRUE(object.GetSecurity(DACL_SECURITY_INFORMATION, descriptor));
    EXPECT_GT(::GetSecurityDescriptorLength(descriptor.Get()), 1024u);
    EXPECT_EQ(qztest::SddlOf(descriptor.Get(), DACL_SECURITY_INFORMATION),
              ObjectSddl(mutex.Get(), DACL_SECURITY_INFORMATION));
    EXPECT_EQ(object.LastError(), 0u);
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(HandleKernelSecurity, SetSecurityWritesTheDescriptor)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:BAG:SYD:(A;;0x1f0001;;;BA)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL | WRITE_DAC).Release());
    CqzScopedLocal<void> descriptor = DescriptorOf(L"D:(A;;0x100000;;;WD)");
    ASSERT_TRUE(descriptor);
    EXPECT_TRUE(object.SetSecurity(DACL_SECURITY_INFORMATION, descriptor.Get()));
    EXPECT_EQ(ObjectSddl(mutex.Get(), DACL_SECURITY_INFORMATION), "D:(A;;0x100000;;;WD)");
}

// ---------------------------------------------------------------------------
// File rename and delete
// ---------------------------------------------------------------------------

qztest::ScopedHandle OpenForDelete(const std::wstring& path, DWORD access = DELETE | SYNCHRONIZE)
{
    return qztest::ScopedHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(HandleFile, RenameMovesTheFileAndNeverReplaces)
{
    qztest::TempDir dir(L"qzh");
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"a.txt", "a"));
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"taken.txt", "t"));
    CqzFileObjectHandle file(OpenForDelete(dir / L"a.txt").Release());
    ASSERT_TRUE(file.IsValid());
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(file.Rename((dir / L"taken.txt").c_str()));
        EXPECT_EQ(file.LastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(capture.Entries(), Errors(kFile, {"ERROR: SetFileInformationByHandle failed,  LastError=183"}));
        EXPECT_EQ(qztest::ReadTextFile(dir / L"taken.txt"), "t");
    }
    // A long name: the record grows with it.
    const std::wstring renamed = dir / (std::wstring(150, L'n') + L".txt");
    qztest::TraceCapture capture;
    EXPECT_TRUE(file.Rename(renamed.c_str()));
    EXPECT_EQ(file.LastError(), 0u);
    EXPECT_FALSE(qztest::FileExists(dir / L"a.txt"));
    EXPECT_EQ(qztest::ReadTextFile(renamed), "a");
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(HandleFile, RenameRefusesBadNames)
{
    qztest::TempDir dir(L"qzh");
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"a.txt", "a"));
    CqzFileObjectHandle file(OpenForDelete(dir / L"a.txt").Release());
    ASSERT_TRUE(file.IsValid());
    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""})
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(file.Rename(name));
        EXPECT_EQ(file.LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(capture.Entries(), Errors(kFile, {"ERROR: invalid name."}));
    }
    EXPECT_TRUE(qztest::FileExists(dir / L"a.txt"));
}

TEST(HandleFile, DeleteRemovesTheFileWhenItsHandleCloses)
{
    qztest::TempDir dir(L"qzh");
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"gone.txt", "g"));
    {
        CqzFileObjectHandle file(OpenForDelete(dir / L"gone.txt").Release());
        qztest::TraceCapture capture;
        EXPECT_TRUE(file.Delete());
        EXPECT_EQ(file.LastError(), 0u);
        EXPECT_EQ(capture.Entries(), TraceEntries{});
    }
    EXPECT_FALSE(qztest::FileExists(dir / L"gone.txt"));

    // Without DELETE access the system refuses.
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"kept.txt", "k"));
    CqzFileObjectHandle file(OpenForDelete(dir / L"kept.txt", FILE_READ_ATTRIBUTES | SYNCHRONIZE).Release());
    ASSERT_TRUE(file.IsValid());
    qztest::TraceCapture capture;
    EXPECT_FALSE(file.Delete());
    EXPECT_EQ(file.LastError(), 5u);
    EXPECT_EQ(capture.Entries(), Errors(kFile, {"ERROR: SetFileInformationByHandle failed,  LastError=5"}));
    EXPECT_TRUE(qztest::FileExists(dir / L"kept.txt"));
}

// ---------------------------------------------------------------------------
// User-object information
// ---------------------------------------------------------------------------

TEST(HandleWindowObject, NamesAndTypesOfStationAndDesktop)
{
    CqzWindowStationHandle station(::OpenWindowStationW(L"WinSta0", FALSE, WINSTA_READATTRIBUTES));
    ASSERT_NE(station.m_h, nullptr);
    std::wstring text;
    qztest::TraceCapture capture;
    EXPECT_TRUE(station.GetUserObjectName(text));
    EXPECT_EQ(text, L"WinSta0");
    EXPECT_TRUE(station.GetUserObjectType(text));
    EXPECT_EQ(text, L"WindowStation");

    CqzDesktopHandle desktop(::OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS));
    ASSERT_NE(desktop.m_h, nullptr);
    EXPECT_TRUE(desktop.GetUserObjectName(text));
    EXPECT_EQ(text, L"Default");
    EXPECT_TRUE(desktop.GetUserObjectType(text));
    EXPECT_EQ(text, L"Desktop");
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(HandleWindowObject, LongNameIsReadInASecondCall)
{
    // A name of 256 or more characters (its terminator included, more than
    // the first 512-byte read holds); the longest the system accepts.
    std::wstring name;
    CqzDesktopHandle desktop(nullptr);
    for (size_t chars = 300; chars >= 256 && desktop.m_h == nullptr; --chars)
    {
        name = L"QzHandleDesk" + std::wstring(chars - 12, L'd');
        desktop.m_h = ::CreateDesktopW(name.c_str(), nullptr, nullptr, 0, DESKTOP_READOBJECTS, nullptr);
    }
    ASSERT_NE(desktop.m_h, nullptr) << "no desktop name of 256 characters or more: " << ::GetLastError();
    CqzScopedHeap<BYTE> buffer;
    DWORD size = 0;
    ASSERT_TRUE(desktop._GetInformation(UOI_NAME, buffer, size));
    EXPECT_GT(size, 512u);
    std::wstring text;
    EXPECT_TRUE(desktop.GetUserObjectName(text));
    EXPECT_EQ(text, name);
}

TEST(HandleWindowObject, FailureLineNamesTheIndex)
{
    CqzDesktopHandle desktop(::OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS));
    ASSERT_NE(desktop.m_h, nullptr);
    CqzScopedHeap<BYTE> buffer;
    DWORD size = 0;
    qztest::TraceCapture capture;
    EXPECT_FALSE(desktop._GetInformation(99, buffer, size));
    const DWORD error = desktop.LastError();
    EXPECT_NE(error, 0u);
    EXPECT_FALSE(buffer);
    EXPECT_EQ(capture.Entries(),
              Errors(kWindow, {"ERROR: GetUserObjectInformation(99) failed. LastError=" + std::to_string(error)}));
}

// ---------------------------------------------------------------------------
// The token wrapper's object security
// ---------------------------------------------------------------------------

TEST(HandleTokenObjectSecurity, EmptyTokenLinesComeFromTheHandleClasses)
{
    CqzAccessToken token;
    CqzAccessToken other;
    {
        qztest::TraceCapture capture;
        CqzScopedLocal<void> descriptor;
        EXPECT_FALSE(token.GetSecurity(DACL_SECURITY_INFORMATION, descriptor));
        EXPECT_EQ(token.LastError(), 6u);
        EXPECT_EQ(capture.Entries(), Errors(kKernel, {"ERROR: Handle is NULL"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(token.SetDacl(nullptr));
        EXPECT_EQ(token.LastError(), 6u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: Token is NULL"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(other.CopySecurityFrom(token));
        EXPECT_EQ(other.LastError(), 6u);
        EXPECT_EQ(capture.Entries(),
                  Errors(kKernel, {"ERROR: Handle is NULL", "ERROR: srcToken.GetSecurity() failed"}));
    }
    {
        qztest::TraceCapture capture;
        CSid label;
        EXPECT_FALSE(token.GetMandatoryLabel(label));
        EXPECT_EQ(token.LastError(), 6u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: Handle is NULL"}));
    }
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(token.SetMandatoryLabel(Sid(L"S-1-16-4096"), 0));
        EXPECT_EQ(token.LastError(), 6u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: Token is NULL", "ERROR: Failed to set mandatory label"}));
    }
}

TEST(HandleTokenObjectSecurity, TokenIsBorrowedAndItsDescriptorWritten)
{
    qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process);
    qztest::ScopedHandle first = qztest::DuplicatePrimary(process.Get());
    qztest::ScopedHandle second = qztest::DuplicatePrimary(process.Get());
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    CqzAccessToken token;
    token.Attach(first.Release());
    CqzAccessToken copy;
    copy.Attach(second.Release());

    CqzScopedLocal<void> descriptor = DescriptorOf(L"D:(A;;GA;;;SY)(A;;0xf01ff;;;BA)");
    ASSERT_TRUE(descriptor);
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted));
    qztest::TraceCapture capture;
    EXPECT_TRUE(token.SetDacl(dacl));
    EXPECT_EQ(token.LastError(), 0u);
    const std::string written = qztest::SddlOf(descriptor.Get(), DACL_SECURITY_INFORMATION);
    EXPECT_EQ(ObjectSddl(token.GetHandle(), DACL_SECURITY_INFORMATION), written);
    EXPECT_TRUE(copy.CopySecurityFrom(token));
    EXPECT_EQ(copy.LastError(), 0u);
    EXPECT_EQ(ObjectSddl(copy.GetHandle()), ObjectSddl(token.GetHandle()));
    CqzScopedLocal<void> read;
    EXPECT_TRUE(copy.GetSecurity(DACL_SECURITY_INFORMATION, read));
    EXPECT_EQ(qztest::SddlOf(read.Get(), DACL_SECURITY_INFORMATION), written);
    // The mandatory label: written for real (Wine keeps none).
    EXPECT_TRUE(token.SetMandatoryLabel(Sid(L"S-1-16-12288"), SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    EXPECT_EQ(token.LastError(), 0u);
    EXPECT_EQ(capture.Entries(), TraceEntries{});

    // Both tokens are still open after every operation.
    TOKEN_TYPE type = TokenPrimary;
    DWORD size = 0;
    EXPECT_TRUE(::GetTokenInformation(token.GetHandle(), TokenType, &type, sizeof(type), &size));
    EXPECT_TRUE(::GetTokenInformation(copy.GetHandle(), TokenType, &type, sizeof(type), &size));
}

TEST(HandleTokenObjectSecurity, ReadFailureLineOfTheKernelClass)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    CqzAccessToken token;
    token.Attach(raw);
    qztest::TraceCapture capture;
    CqzScopedLocal<void> descriptor;
    EXPECT_FALSE(token.GetSecurity(DACL_SECURITY_INFORMATION, descriptor));
    EXPECT_EQ(token.LastError(), 5u);
    EXPECT_FALSE(descriptor);
    EXPECT_EQ(capture.Entries(), Errors(kKernel, {"ERROR: GetKernelObjectSecurity(4) failed. LastError=5"}));
    EXPECT_TRUE(HandleIsOpen(raw));
}

// ---------------------------------------------------------------------------
// Session-local names
// ---------------------------------------------------------------------------

TEST(HandleNames, SessionObjectName)
{
    EXPECT_EQ(CqzHandle::GetSessionObjectName(1, L"QzObject"), L"Session\\1\\QzObject");
    EXPECT_EQ(CqzHandle::GetSessionObjectName(4294967295u, L"A"), L"Session\\4294967295\\A");
    EXPECT_EQ(CqzHandle::GetSessionObjectName(0, nullptr), L"Session\\0\\");
}

} // namespace
