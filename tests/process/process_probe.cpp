// The suite's child process, and its runner of checks that need another
// Windows version (Wine sets it per program name).
//
//   process_probe wait                 sleeps; the suite starts it suspended
//   process_probe threads EVENT        starts a second thread, signals EVENT, sleeps
//   process_probe imagepath PID OUT    GetImagePath of PID
//   process_probe package OUT          the package-identity queries on itself
//
// Results go to OUT as key=value lines; "trace=LEVEL|class|text" lines carry
// the trace statements of the call.
#include <windows.h>

#include <fstream>
#include <string>

#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"

namespace
{

DWORD WINAPI SleepingThread(void*)
{
    ::Sleep(120000);
    return 0;
}

void WriteTrace(std::ofstream& out, const qztest::TraceCapture& capture)
{
    for (const qztest::TraceEntry& entry : capture.Entries())
        out << "trace=" << qztest::LevelName(entry.level) << "|" << entry.className << "|" << entry.text << "\n";
}

int ImagePath(DWORD pid, const std::wstring& outPath)
{
    std::ofstream out(outPath.c_str());
    out << "major=" << CqzOperatingSystem::GetMajorVersion() << "\n";
    qztest::TraceCapture capture;
    std::wstring path;
    const bool ok = CqzProcessHandle::GetImagePath(pid, path);
    out << "ok=" << ok << "\npath=" << qztest::ToUtf8(path) << "\n";
    WriteTrace(out, capture);
    return 0;
}

int Package(const std::wstring& outPath)
{
    std::ofstream out(outPath.c_str());
    out << "win8=" << CqzOperatingSystem::IsWin8OrLater() << "\n";
    const DWORD pid = ::GetCurrentProcessId();
    out << "pid=" << pid << "\n";
    qztest::TraceCapture capture;
    CqzScopedHeap<BYTE> packageId;
    UINT32 size = 0;
    bool ok = CqzProcessHandle::GetPackageId(pid, false, packageId, size);
    out << "id.ok=" << ok << "\nid.error=" << ::GetLastError() << "\n";
    std::wstring text;
    ok = CqzProcessHandle::GetPackageFullName(pid, true, text);
    out << "fullname.ok=" << ok << "\nfullname.error=" << ::GetLastError() << "\n";
    ok = CqzProcessHandle::GetPackageFamilyName(pid, false, text);
    out << "family.ok=" << ok << "\nfamily.error=" << ::GetLastError() << "\n";
    ok = CqzProcessHandle::GetApplicationUserModelId(pid, false, text);
    out << "aumid.ok=" << ok << "\naumid.error=" << ::GetLastError() << "\n";
    WriteTrace(out, capture);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"wait")
    {
        ::Sleep(120000);
        return 0;
    }
    if (mode == L"threads" && argc > 2)
    {
        qztest::ScopedHandle thread(::CreateThread(nullptr, 0, &SleepingThread, nullptr, 0, nullptr));
        qztest::ScopedHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
        if (!thread || !event || !::SetEvent(event.Get()))
            return 2;
        ::Sleep(120000);
        return 0;
    }
    if (mode == L"imagepath" && argc > 3)
        return ImagePath(wcstoul(argv[2], nullptr, 10), argv[3]);
    if (mode == L"package" && argc > 2)
        return Package(argv[2]);
    return 1;
}
