// Process-thread attribute lists, checked by what a real child process gets:
// the probe reads its parent's id and its own handle table with the native
// functions and reports them.
#include <windows.h>

#include <gtest/gtest.h>

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
using qzattr::HandleValue;
using qzattr::ProbeHandle;
using qzattr::ProbeReport;

const char* const kListClass = "CqzProcThreadAttributeList";
const char* const kParentProcClass = "CqzProcThreadAttributeListParentProc";

size_t ProcessHandleCount()
{
    const size_t count = qzattr::OwnHandleCount();
    EXPECT_NE(count, ~static_cast<size_t>(0)) << "the handle table cannot be read";
    return count;
}

// Counts the library's OpenProcess calls and forwards them.
typedef HANDLE(WINAPI* OpenProcessFn)(DWORD, BOOL, DWORD);
OpenProcessFn g_openProcess = nullptr;
int g_openProcessCalls = 0;
DWORD g_openProcessAccess = 0;
BOOL g_openProcessInherit = TRUE;

HANDLE WINAPI CountingOpenProcess(DWORD access, BOOL inherit, DWORD pid)
{
    ++g_openProcessCalls;
    g_openProcessAccess = access;
    g_openProcessInherit = inherit;
    return g_openProcess(access, inherit, pid);
}

class OpenProcessCounter
{
public:
    OpenProcessCounter() : m_hook("kernel32.dll", "OpenProcess", reinterpret_cast<void*>(&CountingOpenProcess))
    {
        g_openProcess = m_hook.OriginalAs<OpenProcessFn>();
        g_openProcessCalls = 0;
        g_openProcessAccess = 0;
        g_openProcessInherit = TRUE;
    }
    bool Installed() const { return m_hook.Installed(); }

private:
    qztest::IatHook m_hook;
};

// An inheritable named object of the handle-list tests, with the tag its
// name ends with.
struct NamedObject
{
    qztest::ScopedHandle handle;
    std::string tag;
    std::string type; // the object type as the system names it
};

std::wstring NewTag(const wchar_t* kind)
{
    static int counter = 0;
    return std::wstring(L"qz-attrlist-") + kind + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

// Event, mutex, semaphore, section and a second event, all inheritable.
std::vector<NamedObject> MakeInheritableObjects()
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    std::vector<NamedObject> objects;
    auto add = [&objects](HANDLE handle, const std::wstring& tag, const char* type)
    {
        NamedObject object;
        object.handle.Reset(handle);
        object.tag = qztest::ToUtf8(tag);
        object.type = type;
        objects.push_back(std::move(object));
    };
    std::wstring tag = NewTag(L"event");
    add(::CreateEventW(&inherit, TRUE, FALSE, tag.c_str()), tag, "Event");
    tag = NewTag(L"mutex");
    add(::CreateMutexW(&inherit, FALSE, tag.c_str()), tag, "Mutant");
    tag = NewTag(L"semaphore");
    add(::CreateSemaphoreW(&inherit, 1, 5, tag.c_str()), tag, "Semaphore");
    tag = NewTag(L"section");
    add(::CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, 4096, tag.c_str()), tag, "Section");
    tag = NewTag(L"event2");
    add(::CreateEventW(&inherit, FALSE, FALSE, tag.c_str()), tag, "Event");
    return objects;
}

// Which of the objects the child holds: for each, its handle there (by the
// name's tag), checked to be the parent's value and type.
void ExpectChildHolds(const ProbeReport& report, const std::vector<NamedObject>& objects,
                      const std::vector<bool>& expected, const char* what)
{
    ASSERT_EQ(objects.size(), expected.size());
    for (size_t i = 0; i < objects.size(); ++i)
    {
        const std::vector<ProbeHandle> found = qzattr::HandlesNamed(report, objects[i].tag);
        if (!expected[i])
        {
            EXPECT_TRUE(found.empty()) << what << ": " << objects[i].tag << " was inherited as handle "
                                       << (found.empty() ? 0 : found[0].value);
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << what << ": " << objects[i].tag;
        EXPECT_EQ(found[0].value, HandleValue(objects[i].handle.Get())) << what << ": " << objects[i].tag;
        EXPECT_EQ(found[0].type, objects[i].type) << what << ": " << objects[i].tag;
    }
}

TEST(ParentProcessList, ChildOfTheProcessChosenById)
{
    qzattr::WaitingProbe parent;
    ASSERT_TRUE(parent.Started());

    // Without the list the child's parent is this process: the probe's
    // answer is not the chosen parent by accident.
    const ProbeReport plain = qzattr::RunReportProbe(nullptr, false);
    ASSERT_TRUE(plain.ok) << plain.failure;
    EXPECT_EQ(plain.parent, ::GetCurrentProcessId());

    qztest::TraceCapture capture;
    OpenProcessCounter counter;
    ASSERT_TRUE(counter.Installed());
    const size_t before = ProcessHandleCount();
    {
        const DWORD pid = parent.Pid();
        CqzProcThreadAttributeListParentProc list(pid);
        ASSERT_NE(list.Get(), nullptr);
        EXPECT_EQ(g_openProcessCalls, 1);
        EXPECT_EQ(g_openProcessAccess, static_cast<DWORD>(MAXIMUM_ALLOWED));
        EXPECT_EQ(g_openProcessInherit, FALSE);
        // The list holds the process handle it opened.
        EXPECT_EQ(ProcessHandleCount(), before + 1);

        const ProbeReport report = qzattr::RunReportProbe(list.Get(), false);
        ASSERT_TRUE(report.ok) << report.failure;
        EXPECT_EQ(report.parent, parent.Pid());
        EXPECT_NE(report.self, report.parent);
    }
    // ... and closes it with the list.
    EXPECT_EQ(ProcessHandleCount(), before);
    EXPECT_TRUE(capture.Entries().empty());
}

TEST(ParentProcessList, ChildOfTheProcessChosenByHandleWhichStaysTheCallers)
{
    qzattr::WaitingProbe parent;
    ASSERT_TRUE(parent.Started());

    qztest::TraceCapture capture;
    const size_t before = ProcessHandleCount();
    {
        CqzProcThreadAttributeListParentProc list(parent.Process());
        ASSERT_NE(list.Get(), nullptr);
        EXPECT_TRUE(capture.Entries().empty());
        EXPECT_EQ(ProcessHandleCount(), before) << "the borrowed handle needs no handle of the list's own";

        const ProbeReport report = qzattr::RunReportProbe(list.Get(), false);
        ASSERT_TRUE(report.ok) << report.failure;
        EXPECT_EQ(report.parent, parent.Pid());
    }
    EXPECT_EQ(ProcessHandleCount(), before);
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(parent.Process(), &flags)) << "the caller's handle was closed";
    EXPECT_EQ(::GetProcessId(parent.Process()), parent.Pid());
}

TEST(HandleList, ChildInheritsExactlyTheListedHandles)
{
    const std::vector<NamedObject> objects = MakeInheritableObjects();
    for (const NamedObject& object : objects)
        ASSERT_TRUE(object.handle.IsValid()) << object.tag;

    // Without a list every inheritable handle goes to the child: the probe
    // sees inherited handles at the parent's values.
    const ProbeReport all = qzattr::RunReportProbe(nullptr, true);
    ASSERT_TRUE(all.ok) << all.failure;
    ExpectChildHolds(all, objects, {true, true, true, true, true}, "no list");

    struct Row
    {
        const char* name;
        std::vector<size_t> listed;
    };
    const Row rows[] = {
        {"event, section and semaphore, out of creation order", {0, 3, 2}},
        {"the mutex alone", {1}},
        {"all five", {0, 1, 2, 3, 4}},
    };
    for (const Row& row : rows)
    {
        std::vector<HANDLE> handles;
        std::vector<bool> expected(objects.size(), false);
        for (size_t index : row.listed)
        {
            handles.push_back(objects[index].handle.Get());
            expected[index] = true;
        }
        qztest::TraceCapture capture;
        CqzProcThreadAttributeListHandles list(handles.data(), static_cast<DWORD>(handles.size()));
        ASSERT_NE(list.Get(), nullptr) << row.name;
        EXPECT_TRUE(capture.Entries().empty()) << row.name;

        const ProbeReport report = qzattr::RunReportProbe(list.Get(), true);
        ASSERT_TRUE(report.ok) << row.name << ": " << report.failure;
        ExpectChildHolds(report, objects, expected, row.name);
    }
}

// Lists that hold nothing: the object exists, its list pointer is null, and
// the trace says why where the input is wrong.
TEST(AttributeListBoundaries, NoListAndTheLineOfEachCase)
{
    // An id no process has (ids are multiples of 4): the error comes from
    // the system, asked here first.
    const DWORD missingPid = 0xFFFFFFF0;
    ::SetLastError(0);
    ASSERT_EQ(::OpenProcess(MAXIMUM_ALLOWED, FALSE, missingPid), nullptr);
    const DWORD missingError = ::GetLastError();
    ASSERT_NE(missingError, 0u);

    HANDLE handles[2] = {::GetCurrentProcess(), ::GetCurrentThread()};
    struct Row
    {
        const char* name;
        std::function<std::unique_ptr<CqzProcThreadAttributeList>()> make;
        int openProcessCalls;
        qztest::TraceEntries lines;
    };
    const std::vector<Row> rows = {
        {"parent process id 0",
         []
         {
             const DWORD pid = 0;
             return std::make_unique<CqzProcThreadAttributeListParentProc>(pid);
         },
         0,
         {}},
        {"parent process id of no process",
         [missingPid] { return std::make_unique<CqzProcThreadAttributeListParentProc>(missingPid); }, 1,
         qztest::EntriesOf(QZT_ERROR, kParentProcClass,
                           {"ERROR: OpenProcess(4294967280) failed. LastError=" + std::to_string(missingError)})},
        {"null parent process handle",
         [] { return std::make_unique<CqzProcThreadAttributeListParentProc>(static_cast<HANDLE>(nullptr)); }, 0,
         qztest::EntriesOf(QZT_ERROR, kParentProcClass, {"ERROR: _m_parentProcess is NULL"})},
        {"0 handles", [&handles] { return std::make_unique<CqzProcThreadAttributeListHandles>(handles, 0); }, 0, {}},
        {"no array for 2 handles", [] { return std::make_unique<CqzProcThreadAttributeListHandles>(nullptr, 2); }, 0,
         qztest::EntriesOf(QZT_ERROR, kListClass, {"ERROR: Invalid handle list: no array, count 2"})},
        {"0x3FFFFFFF handles",
         [&handles] { return std::make_unique<CqzProcThreadAttributeListHandles>(handles, 0x3FFFFFFF); }, 0,
         qztest::EntriesOf(QZT_ERROR, kListClass, {"ERROR: Invalid handle list: too many handles, count 1073741823"})},
        {"0xFFFFFFFF handles",
         [&handles] { return std::make_unique<CqzProcThreadAttributeListHandles>(handles, 0xFFFFFFFF); }, 0,
         qztest::EntriesOf(QZT_ERROR, kListClass, {"ERROR: Invalid handle list: too many handles, count 4294967295"})},
    };
    for (const Row& row : rows)
    {
        qztest::TraceCapture capture;
        OpenProcessCounter counter;
        ASSERT_TRUE(counter.Installed());
        const size_t before = ProcessHandleCount();
        std::unique_ptr<CqzProcThreadAttributeList> list = row.make();
        EXPECT_EQ(list->Get(), nullptr) << row.name;
        EXPECT_EQ(g_openProcessCalls, row.openProcessCalls) << row.name;
        EXPECT_EQ(ProcessHandleCount(), before) << row.name << ": a handle stayed open";
        EXPECT_EQ(capture.Entries(), row.lines) << row.name;
    }

    // The counterparts one step inside the bounds do hold a list.
    const DWORD self = ::GetCurrentProcessId();
    EXPECT_NE(CqzProcThreadAttributeListParentProc(self).Get(), nullptr);
    EXPECT_NE(CqzProcThreadAttributeListHandles(handles, 1).Get(), nullptr);
}

TEST(HandleList, ReInitKeepsAListThatIsSetUpAndRetriesNothingElse)
{
    std::vector<NamedObject> objects = MakeInheritableObjects();
    HANDLE listed[1] = {objects[1].handle.Get()};
    CqzProcThreadAttributeListHandles list(listed, 1);
    const LPPROC_THREAD_ATTRIBUTE_LIST ready = list.Get();
    ASSERT_NE(ready, nullptr);
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(list.ReInit());
        EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kListClass, {"ERROR: _m_ptal is not NULL"}));
    }
    EXPECT_EQ(list.Get(), ready);
    // The list still works as built.
    const ProbeReport report = qzattr::RunReportProbe(list.Get(), true);
    ASSERT_TRUE(report.ok) << report.failure;
    ExpectChildHolds(report, objects, {false, true, false, false, false}, "after ReInit");

    struct Row
    {
        const char* name;
        HANDLE* handles;
        DWORD count;
        qztest::TraceEntries lines; // of ReInit, as of the constructor
    };
    const Row rows[] = {
        {"0 handles", listed, 0, {}},
        {"0x3FFFFFFF handles", listed, 0x3FFFFFFF,
         qztest::EntriesOf(QZT_ERROR, kListClass, {"ERROR: Invalid handle list: too many handles, count 1073741823"})},
    };
    for (const Row& row : rows)
    {
        CqzProcThreadAttributeListHandles empty(row.handles, row.count);
        qztest::TraceCapture capture;
        EXPECT_FALSE(empty.ReInit()) << row.name;
        EXPECT_EQ(empty.Get(), nullptr) << row.name;
        EXPECT_EQ(capture.Entries(), row.lines) << row.name;
    }
}

// Below Windows Vista the parent-process list is not set up, without a line
// and without opening the process. The probe runs as Windows XP under its
// second name; under its first it sets the list up.
TEST(ParentProcessList, NothingBeforeVista)
{
    qztest::WineVersionScope xp(L"attrlist_probe_xp.exe", L"winxp");
    ASSERT_TRUE(xp.Ok());
    struct Row
    {
        const wchar_t* exe;
        bool vista;
    };
    const Row rows[] = {{L"attrlist_probe_xp.exe", false}, {L"attrlist_probe.exe", true}};
    for (const Row& row : rows)
    {
        qztest::TempDir dir(L"qzattr");
        const std::wstring file = dir / L"result.txt";
        const std::wstring exe = qztest::BinDir() + L"\\" + row.exe;
        const qztest::ProcessResult run =
            qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" parent-list " +
                                        std::to_wstring(::GetCurrentProcessId()) + L" " + qztest::QuoteArg(file));
        ASSERT_TRUE(run.finished) << qztest::ToUtf8(row.exe);
        ASSERT_EQ(run.exitCode, 0u) << qztest::ToUtf8(row.exe);
        const qztest::KeyValues result = qztest::ReadKeyValues(file);
        if (row.vista)
        {
            EXPECT_GE(std::stoul(result.Get("major")), 6ul);
            EXPECT_EQ(result.Get("list"), "1");
            EXPECT_EQ(result.Get("opened"), "1");
        }
        else
        {
            EXPECT_EQ(result.Get("major"), "5");
            EXPECT_EQ(result.Get("list"), "0");
            EXPECT_EQ(result.Get("opened"), "0");
        }
        EXPECT_EQ(result.Get("lines"), "0") << qztest::ToUtf8(row.exe);
    }
}
} // namespace
