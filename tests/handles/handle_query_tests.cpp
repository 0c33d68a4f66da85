// Questions about the object behind a handle: granted and maximum-allowed
// access, type names and object names, and the system handle table
// (including a table larger than the first read, through a seam).
#include "common/security/qz_handle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/ntapi/ntapi.h"
#include "testing/harness/iat_hook.h"
#include "tests/handles/handle_test_util.h"

using qzhandletest::Errors;
using qzhandletest::EventWithSddl;
using qzhandletest::MutexWithSddl;
using qzhandletest::Reopen;
using qztest::TraceEntries;

namespace
{

const char kHandle[] = "CqzHandle";
const NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

std::string PointerText(HANDLE h)
{
    std::ostringstream text;
    text << h;
    return text.str();
}

// ---------------------------------------------------------------------------
// Granted and maximum-allowed access
// ---------------------------------------------------------------------------

TEST(HandleAccess, GrantedAccessIsTheMaskTheHandleWasOpenedWith)
{
    const std::wstring name = L"QzHandleGranted" + std::to_wstring(::GetCurrentProcessId());
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    for (const DWORD mask : {static_cast<DWORD>(SYNCHRONIZE), static_cast<DWORD>(SYNCHRONIZE | READ_CONTROL),
                             static_cast<DWORD>(MUTANT_QUERY_STATE | WRITE_DAC)})
    {
        SCOPED_TRACE(mask);
        CqzKernelObjectHandle object(::OpenMutexW(mask, FALSE, name.c_str()));
        ASSERT_NE(object.m_h, nullptr);
        ACCESS_MASK granted = 0;
        EXPECT_TRUE(object.GetGrantedAccess(granted));
        EXPECT_EQ(granted, mask);
        EXPECT_EQ(object.LastError(), 0u);
    }
}

struct MaxAllowedCase
{
    const char* name;
    const wchar_t* sddl;
    ACCESS_MASK expected;
};

TEST(HandleAccess, MaxAllowedAccessFollowsTheDacl)
{
    // The owner is LocalSystem, which the token does not hold: no owner
    // rights are added.
    const std::vector<MaxAllowedCase> cases = {
        {"everyone synchronize and query", L"O:SYG:SYD:(A;;0x100001;;;WD)", 0x100001},
        {"administrators all", L"O:SYG:SYD:(A;;0x1f0001;;;BA)", 0x1f0001},
        {"denied query", L"O:SYG:SYD:(D;;0x1;;;BA)(A;;0x100001;;;WD)", 0x100000},
        {"nothing granted", L"O:SYG:SYD:", 0},
        {"system only", L"O:SYG:SYD:(A;;0x1f0001;;;SY)", 0},
    };
    for (const MaxAllowedCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        qztest::ScopedHandle mutex = MutexWithSddl(row.sddl);
        ASSERT_TRUE(mutex);
        ASSERT_NE(qzhandletest::ObjectSddl(mutex.Get()), "(unreadable)");
        CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
        qztest::TraceCapture capture;
        ACCESS_MASK access = 0xdeadbeef;
        EXPECT_TRUE(object.GetMaxAllowedAccess(access));
        EXPECT_EQ(access, row.expected);
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_EQ(capture.Entries(), TraceEntries{});
    }
}

TEST(HandleAccess, MaxAllowedAccessForAGivenTokenAndWhileImpersonating)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:SYG:SYD:(A;;0x1;;;BA)(A;;0x100000;;;WD)");
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
    qztest::ScopedHandle own = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(own);
    qztest::ScopedHandle restrictedPrimary = qztest::RestrictedAdministratorsDenyOnly(own.Get());
    ASSERT_TRUE(restrictedPrimary);
    qztest::ScopedHandle restricted = qztest::DuplicateImpersonation(restrictedPrimary.Get());
    ASSERT_TRUE(restricted);
    qztest::ScopedHandle full = qztest::DuplicateImpersonation(own.Get());
    ASSERT_TRUE(full);

    ACCESS_MASK access = 0;
    EXPECT_TRUE(object.GetMaxAllowedAccess(full.Get(), access));
    EXPECT_EQ(access, 0x100001u);
    EXPECT_TRUE(object.GetMaxAllowedAccess(restricted.Get(), access));
    EXPECT_EQ(access, 0x100000u);

    // The calling thread's own token: the impersonation token while there
    // is one, and the impersonation stays in place.
    {
        qztest::ThreadImpersonation impersonation(restricted.Get());
        ASSERT_TRUE(impersonation.Active());
        EXPECT_TRUE(object.GetMaxAllowedAccess(access));
        EXPECT_EQ(access, 0x100000u);
        HANDLE still = nullptr;
        EXPECT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &still));
        qztest::ScopedHandle stillHolder(still);
    }
    EXPECT_TRUE(object.GetMaxAllowedAccess(access));
    EXPECT_EQ(access, 0x100001u);
    HANDLE none = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &none));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST(HandleAccess, MaxAllowedAccessFailureLines)
{
    qztest::ScopedHandle mutex = MutexWithSddl(L"O:SYG:SYD:(A;;0x100001;;;WD)");
    ASSERT_TRUE(mutex);
    {
        CqzKernelObjectHandle object(Reopen(mutex.Get(), READ_CONTROL).Release());
        qztest::TraceCapture capture;
        ACCESS_MASK access = 0;
        // A primary token is refused by AccessCheck.
        qztest::ScopedHandle primary = qztest::OpenOwnProcessToken();
        EXPECT_FALSE(object.GetMaxAllowedAccess(primary.Get(), access));
        const DWORD error = object.LastError();
        EXPECT_NE(error, 0u);
        EXPECT_EQ(capture.Entries(),
                  Errors(kHandle, {"ERROR: ::AccessCheck failed. LastError=" + std::to_string(error)}));
    }
    {
        CqzKernelObjectHandle object(Reopen(mutex.Get(), SYNCHRONIZE).Release());
        qztest::TraceCapture capture;
        ACCESS_MASK access = 0;
        EXPECT_FALSE(object.GetMaxAllowedAccess(access));
        EXPECT_EQ(object.LastError(), 5u);
        EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: ::GetSecurityInfo(7) failed. Error=5"}));
    }
}

// ---------------------------------------------------------------------------
// Type names and object names
// ---------------------------------------------------------------------------

struct TypeCase
{
    const char* name;
    HANDLE handle;
    const wchar_t* type;
};

CqzNTAPI::NtQueryObjectFn g_realQueryObject = nullptr;

// The basic information as Windows gives it: Wine leaves the size of the
// type information at 0, so the stand-in fills in what the type query
// itself reports.
NTSTATUS NTAPI SizedNtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                                  PULONG returned)
{
    const NTSTATUS status = g_realQueryObject(handle, infoClass, buffer, length, returned);
    if (status >= 0 && infoClass == 0 && length >= sizeof(CqzHandle::ObjectBasicInformation))
    {
        auto* information = static_cast<CqzHandle::ObjectBasicInformation*>(buffer);
        std::vector<BYTE> type(4096);
        ULONG needed = 0;
        if (information->TypeInfoSize == 0 &&
            g_realQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(2), type.data(),
                              static_cast<ULONG>(type.size()), &needed) >= 0)
            information->TypeInfoSize = needed;
    }
    return status;
}

// The basic information's size of the type information, straight from
// ntdll.
ULONG ReportedTypeInfoSize(HANDLE handle)
{
    const auto query = reinterpret_cast<CqzNTAPI::NtQueryObjectFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    CqzHandle::ObjectBasicInformation information = {};
    ULONG returned = 0;
    if (query(handle, static_cast<OBJECT_INFORMATION_CLASS>(0), &information, sizeof(information), &returned) < 0)
        return 0xFFFFFFFF;
    return information.TypeInfoSize;
}

TEST(HandleNames, TypeNameWithoutATypeInformationSize)
{
    CqzKernelObjectHandle object(::CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_NE(object.m_h, nullptr);
    if (ReportedTypeInfoSize(object.m_h) != 0)
        GTEST_SKIP() << "this system reports the size of the type information";
    // Wine: the real failure.
    qztest::TraceCapture capture;
    std::wstring type = L"before";
    EXPECT_FALSE(object.GetTypeName(type));
    EXPECT_EQ(type, L"");
    EXPECT_EQ(object.LastError(), 13u);
    EXPECT_EQ(capture.Entries(), Errors(kHandle, {"ERROR: TypeInformationLength is 0"}));
}

TEST(HandleNames, TypeNamesOfKernelAndUserObjects)
{
    qztest::TempDir dir(L"qzh");
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"f.txt", "f"));
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    qztest::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    qztest::ScopedHandle semaphore(::CreateSemaphoreW(nullptr, 0, 1, nullptr));
    qztest::ScopedHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    qztest::ScopedHandle token = qztest::OpenOwnProcessToken();
    qztest::ScopedHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ::GetCurrentProcessId()));
    qztest::ScopedHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, ::GetCurrentThreadId()));
    qztest::ScopedHandle file(
        ::CreateFileW((dir / L"f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    CqzScopedRegKey keyHolder(key);
    HDESK desktop = ::OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS);
    CqzDesktopHandle desktopHolder(desktop);
    HWINSTA station = ::OpenWindowStationW(L"WinSta0", FALSE, WINSTA_READATTRIBUTES);
    CqzWindowStationHandle stationHolder(station);
    const std::vector<TypeCase> cases = {
        {"mutex", mutex.Get(), L"Mutant"},
        {"event", event.Get(), L"Event"},
        {"semaphore", semaphore.Get(), L"Semaphore"},
        {"section", section.Get(), L"Section"},
        {"token", token.Get(), L"Token"},
        {"process", process.Get(), L"Process"},
        {"thread", thread.Get(), L"Thread"},
        {"file", file.Get(), L"File"},
        {"key", reinterpret_cast<HANDLE>(key), L"Key"},
        {"desktop", reinterpret_cast<HANDLE>(desktop), L"Desktop"},
        {"window station", reinterpret_cast<HANDLE>(station), L"WindowStation"},
    };
    qzhandletest::NtdllStandIn standIn("NtQueryObject", &SizedNtQueryObject);
    g_realQueryObject = standIn.Real<CqzNTAPI::NtQueryObjectFn>();
    ASSERT_TRUE(standIn.Ok());
    for (const TypeCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NE(row.handle, nullptr);
        // The registry-key object borrows: it closes nothing.
        CqzRegistryKeyHandle object(static_cast<HKEY>(row.handle));
        std::wstring type;
        qztest::TraceCapture capture;
        EXPECT_TRUE(object.GetTypeName(type));
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_EQ(capture.Entries(), TraceEntries{});
    }
}

std::wstring SessionObjectPath(const std::wstring& name)
{
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return L"\\Sessions\\" + std::to_wstring(session) + L"\\BaseNamedObjects\\" + name;
}

TEST(HandleNames, NamesOfNamedAndUnnamedObjects)
{
    const std::wstring shortName = L"QzHandleName" + std::to_wstring(::GetCurrentProcessId());
    // Longer than the 1024 bytes the first read takes when the object
    // reports no name size: the query then asks for the real length.
    const std::wstring longName = shortName + std::wstring(600, L'x');
    for (const std::wstring& name : {shortName, longName})
    {
        SCOPED_TRACE(name.size());
        CqzKernelObjectHandle object(::CreateMutexW(nullptr, FALSE, name.c_str()));
        ASSERT_NE(object.m_h, nullptr);
        std::wstring text;
        qztest::TraceCapture capture;
        EXPECT_TRUE(object.GetName(text));
        EXPECT_EQ(text, SessionObjectPath(name));
        EXPECT_EQ(object.LastError(), 0u);
        EXPECT_EQ(qzhandletest::EntriesOfClasses(capture.Entries(), {kHandle}), TraceEntries{});
    }
    CqzKernelObjectHandle unnamed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::wstring text = L"before";
    qztest::TraceCapture capture;
    EXPECT_TRUE(unnamed.GetName(text));
    EXPECT_EQ(text, L"");
    EXPECT_EQ(unnamed.LastError(), 0u);
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

TEST(HandleNames, QueryFailureLinesNameTheHandle)
{
    // A value that is no handle of this process.
    const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0));
    CqzKernelObjectHandle object(bogus);
    const std::string expected =
        "ERROR: NtQueryObject(" + PointerText(bogus) +
        ", ObjectBasicInformation) failed. status=" + std::to_string(static_cast<long>(0xC0000008));
    for (int query = 0; query < 3; ++query)
    {
        SCOPED_TRACE(query);
        qztest::TraceCapture capture;
        std::wstring text;
        ACCESS_MASK access = 0;
        const bool answered = query == 0   ? object.GetGrantedAccess(access)
                              : query == 1 ? object.GetTypeName(text)
                                           : object.GetName(text);
        EXPECT_FALSE(answered);
        EXPECT_EQ(object.LastError(), 0xC0000008u);
        EXPECT_EQ(qzhandletest::EntriesOfClasses(capture.Entries(), {kHandle}), Errors(kHandle, {expected}));
    }
    // Not ours to close.
    object.Detach();
}

// ---------------------------------------------------------------------------
// The system handle table
// ---------------------------------------------------------------------------

TEST(HandleTable, EntryOfOurOwnHandle)
{
    const std::wstring name = L"QzHandleTable" + std::to_wstring(::GetCurrentProcessId());
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    const DWORD mask = SYNCHRONIZE | READ_CONTROL | MUTANT_QUERY_STATE;
    CqzKernelObjectHandle object(::OpenMutexW(mask, FALSE, name.c_str()));
    ASSERT_NE(object.m_h, nullptr);
    CqzHandle::SystemHandleEntry entry;
    qztest::TraceCapture capture;
    ASSERT_TRUE(object.GetSystemHandleInformation(entry));
    EXPECT_EQ(entry.ProcessId, ::GetCurrentProcessId());
    EXPECT_EQ(entry.Handle, static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(object.m_h)));
    EXPECT_EQ(entry.GrantedAccess, mask);
    EXPECT_EQ(object.LastError(), 0u);
    EXPECT_EQ(capture.Entries(), TraceEntries{});
#ifdef _WIN64
    EXPECT_EQ(sizeof(CqzHandle::SystemHandleEntry), 24u);
#else
    EXPECT_EQ(sizeof(CqzHandle::SystemHandleEntry), 16u);
#endif

    // A handle value this process does not have.
    CqzHandle::SystemHandleEntry none;
    EXPECT_FALSE(CqzHandle::GetSystemHandleInformation(::GetCurrentProcessId(), 0xFFFC, none));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST(HandleTable, EntryCountIsBoundedByTheSize)
{
    std::vector<BYTE> bytes(offsetof(CqzHandle::SystemHandleInformation, Entries) +
                            3 * sizeof(CqzHandle::SystemHandleEntry));
    auto* table = reinterpret_cast<CqzHandle::SystemHandleInformation*>(bytes.data());
    table->Count = 0xFFFFFFFF;
    EXPECT_EQ(CqzHandle::HandleTableEntryCount(*table, static_cast<ULONG>(bytes.size())), 3u);
    EXPECT_EQ(CqzHandle::HandleTableEntryCount(*table, static_cast<ULONG>(bytes.size()) - 1), 2u);
    EXPECT_EQ(CqzHandle::HandleTableEntryCount(*table, 2), 0u);
    table->Count = 1;
    EXPECT_EQ(CqzHandle::HandleTableEntryCount(*table, static_cast<ULONG>(bytes.size())), 1u);
}

// What the stand-in for NtQuerySystemInformation does on each call.
struct TableSeam
{
    CqzNTAPI::NtQuerySystemInformationFn real = nullptr;
    ULONG reportedLength = 0;   // length claimed by the mismatches
    int mismatches = 0;         // calls answered with a mismatch before the real one
    NTSTATUS failure = 0;       // when not 0: every call answers this
    std::vector<ULONG> lengths; // the buffer length of every call
};
TableSeam g_table;

NTSTATUS NTAPI SeamNtQuerySystemInformation(SYSTEM_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                                            PULONG returned)
{
    g_table.lengths.push_back(length);
    if (g_table.failure != 0)
        return g_table.failure;
    if (static_cast<int>(g_table.lengths.size()) <= g_table.mismatches)
    {
        if (returned != nullptr)
            *returned = g_table.reportedLength;
        return kInfoLengthMismatch;
    }
    return g_table.real(infoClass, buffer, length, returned);
}

// Wine's handle table is far smaller than the first read of 1,600,000
// bytes, so the second call never happens for real: the stand-in reports a
// larger table (or a failure) before handing on to the real function.
class TableHook
{
public:
    TableHook(int mismatches, ULONG reportedLength, NTSTATUS failure = 0)
        : m_standIn("NtQuerySystemInformation", &SeamNtQuerySystemInformation)
    {
        g_table.real = m_standIn.Real<CqzNTAPI::NtQuerySystemInformationFn>();
        g_table.mismatches = mismatches;
        g_table.reportedLength = reportedLength;
        g_table.failure = failure;
        g_table.lengths.clear();
    }
    bool Ok() const { return m_standIn.Ok(); }

private:
    qzhandletest::NtdllStandIn m_standIn;
};

TEST(HandleTable, LargerTableIsReadInASecondCall)
{
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    CqzKernelObjectHandle object(Reopen(mutex.Get(), SYNCHRONIZE).Release());
    TableHook hook(1, 2000000);
    ASSERT_TRUE(hook.Ok());
    qztest::TraceCapture capture;
    CqzHandle::SystemHandleEntry entry;
    EXPECT_TRUE(object.GetSystemHandleInformation(entry));
    EXPECT_EQ(g_table.lengths, (std::vector<ULONG>{1600000, 2000000}));
    EXPECT_EQ(entry.ProcessId, ::GetCurrentProcessId());
    EXPECT_EQ(entry.GrantedAccess, static_cast<ACCESS_MASK>(SYNCHRONIZE));
    EXPECT_EQ(capture.Entries(), TraceEntries{});
}

struct TableFailureCase
{
    const char* name;
    int mismatches;
    ULONG reportedLength;
    NTSTATUS failure;
    std::vector<ULONG> lengths;
    std::string line;
};

TEST(HandleTable, FailedQueriesGiveTheNtqsiLine)
{
    const std::string mismatch = std::to_string(static_cast<long>(kInfoLengthMismatch));
    const NTSTATUS denied = static_cast<NTSTATUS>(0xC0000022);
    const std::vector<TableFailureCase> cases = {
        {"grew again", 2, 2400000, 0, {1600000, 2400000}, "ERROR: NTQSI failed. retlen=2400000, status=" + mismatch},
        {"mismatch without a larger length",
         1,
         1000,
         0,
         {1600000},
         "ERROR: NTQSI failed. retlen=1000, status=" + mismatch},
        {"refused",
         0,
         0,
         denied,
         {1600000},
         "ERROR: NTQSI failed. retlen=0, status=" + std::to_string(static_cast<long>(denied))},
    };
    for (const TableFailureCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        TableHook hook(row.mismatches, row.reportedLength, row.failure);
        ASSERT_TRUE(hook.Ok());
        qztest::TraceCapture capture;
        CqzScopedHeap<CqzHandle::SystemHandleInformation> table;
        ULONG size = 77;
        EXPECT_FALSE(CqzHandle::QuerySystemHandleInformation(table, size));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(row.failure != 0 ? row.failure : kInfoLengthMismatch));
        EXPECT_FALSE(table);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(g_table.lengths, row.lengths);
        EXPECT_EQ(qzhandletest::EntriesOfClasses(capture.Entries(), {kHandle}), Errors(kHandle, {row.line}));
    }
}

} // namespace
