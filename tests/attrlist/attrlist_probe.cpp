// Child of the attribute-list suite. It reports what a new process actually
// got from its creator, read with the native functions alone (independent of
// the library under test), or builds a parent-process list itself when it
// runs as another Windows version (Wine's per-program version setting, which
// is why it is built twice under two names).
//
//   attrlist_probe.exe wait <event name>
//       waits (at most two minutes) until the named event is set: a process
//       to be chosen as another child's parent
//   attrlist_probe.exe report <result file>
//       parent=<id of the parent process>, self=<own id>, and one line
//       handle=<value>|<object type>|<object name> per handle of its own
//       (no name for files)
//   attrlist_probe.exe parent-list <process id> <result file>
//       major=<system major version>, list=0|1 (whether the parent-process
//       list for that id was set up), opened=<handles more than before while
//       it lives>, lines=<trace statements it wrote>
//
// Exit code 0 when the mode ran, 1 when it could not, 2 for bad arguments.
#include <windows.h>

#include <winternl.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "tests/attrlist/attrlist_test_util.h"

namespace
{
const OBJECT_INFORMATION_CLASS kObjectNameInformation = static_cast<OBJECT_INFORMATION_CLASS>(1);

// The UNICODE_STRING at the start of a name or type record.
std::string QueryObjectText(HANDLE handle, OBJECT_INFORMATION_CLASS infoClass)
{
    std::vector<ULONG_PTR> buffer(1024);
    ULONG returned = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
    if (::NtQueryObject(handle, infoClass, buffer.data(), size, &returned) < 0)
        return "?";
    const UNICODE_STRING* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    if (text->Buffer == nullptr)
        return "";
    return qztest::ToUtf8(std::wstring(text->Buffer, text->Length / sizeof(wchar_t)));
}

bool ReportOwnHandles(std::ostringstream& out)
{
    std::vector<unsigned long long> values;
    if (!qzattr::OwnHandleValues(values))
        return false;
    for (unsigned long long value : values)
    {
        const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
        const std::string type = QueryObjectText(handle, ObjectTypeInformation);
        // A name query can block on some file objects; files need none here.
        const std::string name = type == "File" ? "" : QueryObjectText(handle, kObjectNameInformation);
        out << "handle=" << value << "|" << type << "|" << name << "\n";
    }
    return true;
}

int Report(const std::wstring& resultFile)
{
    PROCESS_BASIC_INFORMATION basic = {};
    if (::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) < 0)
        return 1;
    std::ostringstream out;
    out << "parent=" << basic.InheritedFromUniqueProcessId << "\n";
    out << "self=" << ::GetCurrentProcessId() << "\n";
    if (!ReportOwnHandles(out))
        return 1;
    return qztest::WriteTextFile(resultFile, out.str()) ? 0 : 1;
}

int Wait(const wchar_t* eventName)
{
    qztest::ScopedHandle event(::OpenEventW(SYNCHRONIZE, FALSE, eventName));
    if (!event)
        return 1;
    return ::WaitForSingleObject(event.Get(), 120000) == WAIT_OBJECT_0 ? 0 : 1;
}

int ParentList(DWORD processId, const std::wstring& resultFile)
{
    std::ostringstream out;
    out << "major=" << CqzOperatingSystem::GetMajorVersion() << "\n";
    qztest::TraceCapture capture;
    const size_t before = qzattr::OwnHandleCount();
    size_t during = 0;
    {
        CqzProcThreadAttributeListParentProc list(processId);
        during = qzattr::OwnHandleCount();
        out << "list=" << (list.Get() != nullptr ? 1 : 0) << "\n";
    }
    out << "opened=" << static_cast<long>(during) - static_cast<long>(before) << "\n";
    out << "lines=" << capture.Entries().size() << "\n";
    return qztest::WriteTextFile(resultFile, out.str()) ? 0 : 1;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"wait" && argc == 3)
        return Wait(argv[2]);
    if (mode == L"report" && argc == 3)
        return Report(argv[2]);
    if (mode == L"parent-list" && argc == 4)
        return ParentList(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)), argv[3]);
    return 2;
}
