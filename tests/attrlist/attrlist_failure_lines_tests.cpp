// Attribute-list set-up failures that the system does not produce for a
// one-attribute list: no size, a size that cannot be allocated, a list that
// does not initialise, an attribute that is not taken. The library resolves
// the list functions through GetProcAddress once per process, so this suite
// (its own process) replaces GetProcAddress in its import table before any
// test runs and hands out stand-ins that call the system's functions unless
// a test asks them to fail. They also record what the library asks for.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/attrlist/attrlist_test_util.h"
#include "trace/qztrace.h"

namespace
{
const char* const kListClass = "CqzProcThreadAttributeList";

typedef BOOL(WINAPI* InitializeFn)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
typedef BOOL(WINAPI* UpdateFn)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T);
typedef VOID(WINAPI* DeleteFn)(LPPROC_THREAD_ATTRIBUTE_LIST);
typedef FARPROC(WINAPI* GetProcAddressFn)(HMODULE, LPCSTR);

enum class Fault
{
    None,
    NoSize,      // the size query answers 0
    HugeSize,    // the size query answers more than can be allocated
    InitFails,   // the list does not initialise
    UpdateFails, // the attribute is not taken
};

const DWORD kInitError = ERROR_INVALID_PARAMETER;
const DWORD kUpdateError = ERROR_BAD_LENGTH;
const SIZE_T kHugeSize = ~static_cast<SIZE_T>(0) - 0xFFF;

struct UpdateCall
{
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    DWORD flags;
    DWORD_PTR attribute;
    PVOID value;
    SIZE_T size;
    HANDLE firstHandle; // *(HANDLE*)value at the time of the call
};

struct ListCalls
{
    Fault fault = Fault::None;
    int initializeCalls = 0;
    std::vector<UpdateCall> updates;
    std::vector<LPPROC_THREAD_ATTRIBUTE_LIST> initialized;
    std::vector<LPPROC_THREAD_ATTRIBUTE_LIST> deleted;
    // Whether the handle the parent-process attribute names was still open
    // when its list was deleted.
    std::vector<bool> parentOpenAtDelete;
};
ListCalls g_calls;

GetProcAddressFn g_getProcAddress = nullptr;
InitializeFn g_initialize = nullptr;
UpdateFn g_update = nullptr;
DeleteFn g_delete = nullptr;

BOOL WINAPI SeamInitialize(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags, PSIZE_T size)
{
    ++g_calls.initializeCalls;
    if (list == nullptr && g_calls.fault == Fault::NoSize)
    {
        *size = 0;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (list == nullptr && g_calls.fault == Fault::HugeSize)
    {
        *size = kHugeSize;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (list != nullptr && g_calls.fault == Fault::InitFails)
    {
        ::SetLastError(kInitError);
        return FALSE;
    }
    const BOOL ok = g_initialize(list, count, flags, size);
    if (ok && list != nullptr)
        g_calls.initialized.push_back(list);
    return ok;
}

BOOL WINAPI SeamUpdate(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute, PVOID value, SIZE_T size,
                       PVOID previous, PSIZE_T returned)
{
    HANDLE first = nullptr;
    if (value != nullptr && size >= sizeof(HANDLE))
        std::memcpy(&first, value, sizeof(HANDLE));
    g_calls.updates.push_back({list, flags, attribute, value, size, first});
    if (g_calls.fault == Fault::UpdateFails)
    {
        ::SetLastError(kUpdateError);
        return FALSE;
    }
    return g_update(list, flags, attribute, value, size, previous, returned);
}

VOID WINAPI SeamDelete(LPPROC_THREAD_ATTRIBUTE_LIST list)
{
    g_calls.deleted.push_back(list);
    for (const UpdateCall& update : g_calls.updates)
    {
        if (update.list == list && update.attribute == PROC_THREAD_ATTRIBUTE_PARENT_PROCESS)
        {
            DWORD flags = 0;
            g_calls.parentOpenAtDelete.push_back(::GetHandleInformation(update.firstHandle, &flags) != FALSE);
        }
    }
    g_delete(list);
}

template <typename Function>
FARPROC AsFarProc(Function function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF)
    {
        if (std::strcmp(name, "InitializeProcThreadAttributeList") == 0)
            return AsFarProc(&SeamInitialize);
        if (std::strcmp(name, "UpdateProcThreadAttribute") == 0)
            return AsFarProc(&SeamUpdate);
        if (std::strcmp(name, "DeleteProcThreadAttributeList") == 0)
            return AsFarProc(&SeamDelete);
    }
    return g_getProcAddress(module, name);
}

template <typename Function>
Function SystemFunction(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(g_getProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

// Installed before the first test, so before the library resolves anything.
class ListFunctionSeam : public ::testing::Environment
{
public:
    void SetUp() override
    {
        m_hook = std::make_unique<qztest::IatHook>("kernel32.dll", "GetProcAddress",
                                                   reinterpret_cast<void*>(&SeamGetProcAddress));
        ASSERT_TRUE(m_hook->Installed());
        g_getProcAddress = m_hook->OriginalAs<GetProcAddressFn>();
        g_initialize = SystemFunction<InitializeFn>("InitializeProcThreadAttributeList");
        g_update = SystemFunction<UpdateFn>("UpdateProcThreadAttribute");
        g_delete = SystemFunction<DeleteFn>("DeleteProcThreadAttributeList");
        ASSERT_TRUE(g_initialize != nullptr && g_update != nullptr && g_delete != nullptr);
    }
    void TearDown() override { m_hook.reset(); }

private:
    std::unique_ptr<qztest::IatHook> m_hook;
};
::testing::Environment* const g_seam = ::testing::AddGlobalTestEnvironment(new ListFunctionSeam);

size_t ProcessHandleCount()
{
    const size_t count = qzattr::OwnHandleCount();
    EXPECT_NE(count, ~static_cast<size_t>(0)) << "the handle table cannot be read";
    return count;
}

// One kind of list, made afresh for each row.
struct ListKind
{
    const char* name;
    std::function<std::unique_ptr<CqzProcThreadAttributeList>()> make;
};

std::vector<ListKind> ListKinds(HANDLE* handles)
{
    return {
        {"parent process by id",
         []
         {
             const DWORD pid = ::GetCurrentProcessId();
             return std::make_unique<CqzProcThreadAttributeListParentProc>(pid);
         }},
        {"parent process by handle",
         [] { return std::make_unique<CqzProcThreadAttributeListParentProc>(::GetCurrentProcess()); }},
        {"handle list", [handles] { return std::make_unique<CqzProcThreadAttributeListHandles>(handles, 2); }},
    };
}

TEST(AttributeListArguments, TheOneAttributeAsTheSystemExpectsIt)
{
    g_calls = ListCalls();
    const DWORD pid = ::GetCurrentProcessId();
    {
        CqzProcThreadAttributeListParentProc list(pid);
        ASSERT_NE(list.Get(), nullptr);
        EXPECT_EQ(g_calls.initializeCalls, 2) << "size query, then the list";
        ASSERT_EQ(g_calls.updates.size(), 1u);
        const UpdateCall& update = g_calls.updates[0];
        EXPECT_EQ(update.list, list.Get());
        EXPECT_EQ(update.flags, 0u);
        EXPECT_EQ(update.attribute, static_cast<DWORD_PTR>(0x20000));
        EXPECT_EQ(update.size, sizeof(HANDLE));
        EXPECT_EQ(::GetProcessId(update.firstHandle), pid);
        // The list keeps the address it was given: it must still hold the
        // handle now, after the constructor returned.
        HANDLE stored = nullptr;
        std::memcpy(&stored, update.value, sizeof(HANDLE));
        EXPECT_EQ(stored, update.firstHandle);
    }
    EXPECT_EQ(g_calls.deleted, g_calls.initialized);
    EXPECT_EQ(g_calls.parentOpenAtDelete, std::vector<bool>{true}) << "the handle was closed before its list";

    g_calls = ListCalls();
    HANDLE handles[3] = {::GetCurrentProcess(), ::GetCurrentThread(), ::GetStdHandle(STD_OUTPUT_HANDLE)};
    {
        CqzProcThreadAttributeListHandles list(handles, 3);
        ASSERT_NE(list.Get(), nullptr);
        ASSERT_EQ(g_calls.updates.size(), 1u);
        const UpdateCall& update = g_calls.updates[0];
        EXPECT_EQ(update.attribute, static_cast<DWORD_PTR>(0x20002));
        EXPECT_EQ(update.value, static_cast<PVOID>(handles)) << "the caller's array itself";
        EXPECT_EQ(update.size, 3 * sizeof(HANDLE)) << "every handle of the array, at its full width";
    }
    ASSERT_EQ(g_calls.initialized.size(), 1u);
    EXPECT_EQ(g_calls.deleted, g_calls.initialized);
}

TEST(AttributeListFailureLines, EachSetUpFailureLeavesNoListAndNothingOpen)
{
    HANDLE handles[2] = {::GetCurrentProcess(), ::GetCurrentThread()};
    struct Row
    {
        const char* name;
        Fault fault;
        std::string line;
        bool updated; // the attribute was asked for
    };
    const Row rows[] = {
        {"no size", Fault::NoSize, "ERROR: Failed to get allocation size", false},
        {"size beyond memory", Fault::HugeSize, "ERROR: AllocateBytes(" + std::to_string(kHugeSize) + ") failed",
         false},
        {"list does not initialise", Fault::InitFails,
         "ERROR: InitializeProcThreadAttributeList failed. LastError=" + std::to_string(kInitError), false},
        {"attribute not taken", Fault::UpdateFails,
         "ERROR: UpdateProcThreadAttribute failed. LastError=" + std::to_string(kUpdateError), true},
    };
    for (const Row& row : rows)
    {
        for (const ListKind& kind : ListKinds(handles))
        {
            const std::string name = std::string(row.name) + ", " + kind.name;
            g_calls = ListCalls();
            g_calls.fault = row.fault;
            qztest::TraceCapture capture;
            const size_t before = ProcessHandleCount();
            std::unique_ptr<CqzProcThreadAttributeList> list = kind.make();
            g_calls.fault = Fault::None;
            EXPECT_EQ(ProcessHandleCount(), before) << name << ": the opened process handle stayed open";
            EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kListClass, {row.line})) << name;
            EXPECT_EQ(list->Get(), nullptr) << name;
            EXPECT_EQ(g_calls.updates.size(), row.updated ? 1u : 0u) << name;
            // A list that was initialised is deleted at once; one that was
            // not is only freed.
            EXPECT_EQ(g_calls.deleted, g_calls.initialized) << name;
            list.reset();
            EXPECT_EQ(g_calls.deleted, g_calls.initialized) << name << ": deleted again";
        }
    }
}

TEST(AttributeListFailureLines, ReInitRetriesASetUpThatFailedButNotAForgottenArray)
{
    HANDLE handles[2] = {::GetCurrentProcess(), ::GetCurrentThread()};

    // The allocation failed: the array is kept and the retry sets up.
    g_calls = ListCalls();
    g_calls.fault = Fault::HugeSize;
    CqzProcThreadAttributeListHandles retried(handles, 2);
    ASSERT_EQ(retried.Get(), nullptr);
    g_calls.fault = Fault::None;
    {
        qztest::TraceCapture capture;
        EXPECT_TRUE(retried.ReInit());
        EXPECT_TRUE(capture.Entries().empty());
    }
    ASSERT_NE(retried.Get(), nullptr);
    ASSERT_EQ(g_calls.updates.size(), 1u);
    EXPECT_EQ(g_calls.updates[0].value, static_cast<PVOID>(handles));
    EXPECT_EQ(g_calls.updates[0].size, 2 * sizeof(HANDLE));

    // The attribute was refused: the array and count are forgotten, and a
    // retry has nothing to list.
    g_calls = ListCalls();
    g_calls.fault = Fault::UpdateFails;
    CqzProcThreadAttributeListHandles forgotten(handles, 2);
    ASSERT_EQ(forgotten.Get(), nullptr);
    g_calls.fault = Fault::None;
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(forgotten.ReInit());
        EXPECT_TRUE(capture.Entries().empty());
    }
    EXPECT_EQ(forgotten.Get(), nullptr);
    EXPECT_EQ(g_calls.updates.size(), 1u) << "the retry asked for the attribute again";
}
} // namespace
