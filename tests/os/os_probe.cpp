// Reports what CqzOperatingSystem makes of the system it runs on, so that a
// suite can run it under several Windows versions (Wine's per-executable
// version setting) and under other file names.
//
//   os_probe.exe <output file> [report|race]
//
// The output is UTF-8, one "key=value" line each; CR, LF and backslash in
// values are escaped as \r, \n and \\. Trace lines of the run follow as
// "trace=" lines. "race" makes the first accessor calls of the process from
// several threads at once.
#include "common/util/os.h"
#include "testing/harness/harness.h"

#include <process.h>

#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

class Report
{
public:
    template <typename T>
    void Add(const char* key, const T& value)
    {
        std::ostringstream line;
        line << value;
        m_text += std::string(key) + "=" + Escape(line.str()) + "\n";
    }
    void Add(const char* key, const std::wstring& value) { Add(key, qztest::ToUtf8(value)); }
    void AddTrace(const qztest::TraceCapture& capture)
    {
        for (const std::string& line : capture.Lines())
            Add("trace", line);
    }
    bool Write(const std::wstring& path) const { return qztest::WriteTextFile(path, m_text); }

private:
    std::string m_text;
};

void AddIdentification(Report& report)
{
    const RTL_OSVERSIONINFOEXW& record = CqzOperatingSystem::GetVersionInfo();
    report.Add("init", CqzOperatingSystem::Init() ? 1 : 0);
    report.Add("size", record.dwOSVersionInfoSize);
    report.Add("major", CqzOperatingSystem::GetMajorVersion());
    report.Add("minor", CqzOperatingSystem::GetMinorVersion());
    report.Add("build", CqzOperatingSystem::GetBuildNumber());
    report.Add("platform", record.dwPlatformId);
    report.Add("spMajor", CqzOperatingSystem::GetServicePackMajor());
    report.Add("spMinor", record.wServicePackMinor);
    report.Add("suiteMask", record.wSuiteMask);
    report.Add("productType", static_cast<unsigned>(record.wProductType));
    report.Add("recordCsd", std::wstring(record.szCSDVersion));
    report.Add("csd", CqzOperatingSystem::GetCSDVersion());
    report.Add("index", CqzOperatingSystem::GetProductIndex());
    report.Add("name", CqzOperatingSystem::GetName());
    report.Add("suite", CqzOperatingSystem::GetSuiteDescription());
    report.Add("ubr", CqzOperatingSystem::GetUBR());
    report.Add("releaseId", CqzOperatingSystem::GetReleaseId());
    report.Add("isServer", CqzOperatingSystem::IsServer() ? 1 : 0);
    report.Add("isVista", CqzOperatingSystem::IsVistaOrLater() ? 1 : 0);
    report.Add("isWin8", CqzOperatingSystem::IsWin8OrLater() ? 1 : 0);
    report.Add("isWin81", CqzOperatingSystem::IsWin81OrLater() ? 1 : 0);
    report.Add("isWin10", CqzOperatingSystem::IsWin10OrLater() ? 1 : 0);
    report.Add("msiexec", CqzOperatingSystem::IsMsiExecProcess() ? 1 : 0);
    report.Add("serverR2", ::GetSystemMetrics(SM_SERVERR2));
}

int RunReport(const std::wstring& output)
{
    qztest::TraceCapture capture;
    Report report;
    AddIdentification(report);
    // Asking again must not identify again.
    for (int i = 0; i < 3; ++i)
    {
        CqzOperatingSystem::Init();
        CqzOperatingSystem::GetName();
    }
    USHORT machine = 0xBEEF;
    report.Add("imageTypeOk", CqzOperatingSystem::GetProcessImageType(nullptr, machine) ? 1 : 0);
    report.Add("imageType", machine);
    report.Add("nativeType", CqzOperatingSystem::GetNativeOSImageType());
    report.Add("armNative", CqzOperatingSystem::IsArmNative() ? 1 : 0);
    report.Add("lua", CqzOperatingSystem::IsLUAEnabled() ? 1 : 0);
    report.Add("filterAdmin", CqzOperatingSystem::IsFilterAdministratorToken() ? 1 : 0);
    report.AddTrace(capture);
    return report.Write(output) ? 0 : 2;
}

struct Snapshot
{
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    int index = -1;
    std::wstring name;
    std::wstring suite;
    const std::wstring* windowsDir = nullptr;
    const std::wstring* systemDir = nullptr;
    bool operator==(const Snapshot& o) const
    {
        return major == o.major && minor == o.minor && build == o.build && index == o.index && name == o.name &&
               suite == o.suite && windowsDir == o.windowsDir && systemDir == o.systemDir &&
               *windowsDir == *o.windowsDir && *systemDir == *o.systemDir;
    }
};

struct RaceThread
{
    HANDLE start = nullptr;
    int which = 0;
    Snapshot seen;
};

unsigned __stdcall RaceMain(void* parameter)
{
    RaceThread& self = *static_cast<RaceThread*>(parameter);
    ::WaitForSingleObject(self.start, INFINITE);
    // Each thread makes a different first call.
    switch (self.which % 6)
    {
    case 0:
        CqzOperatingSystem::GetName();
        break;
    case 1:
        CqzOperatingSystem::GetMajorVersion();
        break;
    case 2:
        CqzOperatingSystem::GetWindowsDirectoryCached();
        break;
    case 3:
        CqzOperatingSystem::GetSuiteDescription();
        break;
    case 4:
        CqzOperatingSystem::GetSystemDirectoryCached();
        break;
    default:
        CqzOperatingSystem::IsServer();
        break;
    }
    self.seen.major = CqzOperatingSystem::GetMajorVersion();
    self.seen.minor = CqzOperatingSystem::GetMinorVersion();
    self.seen.build = CqzOperatingSystem::GetBuildNumber();
    self.seen.index = CqzOperatingSystem::GetProductIndex();
    self.seen.name = CqzOperatingSystem::GetName();
    self.seen.suite = CqzOperatingSystem::GetSuiteDescription();
    self.seen.windowsDir = &CqzOperatingSystem::GetWindowsDirectoryCached();
    self.seen.systemDir = &CqzOperatingSystem::GetSystemDirectoryCached();
    return 0;
}

int RunRace(const std::wstring& output)
{
    qztest::TraceCapture capture;
    const int kThreads = 16;
    qztest::ScopedHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!start.IsValid())
        return 3;
    std::vector<RaceThread> threads(kThreads);
    std::vector<qztest::ScopedHandle> handles;
    for (int i = 0; i < kThreads; ++i)
    {
        threads[i].start = start.Get();
        threads[i].which = i;
        handles.emplace_back(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, RaceMain, &threads[i], 0, nullptr)));
        if (!handles.back().IsValid())
            return 4;
    }
    ::Sleep(50); // let the threads reach the start line; correctness does not depend on it
    ::SetEvent(start.Get());
    for (const qztest::ScopedHandle& handle : handles)
        ::WaitForSingleObject(handle.Get(), INFINITE);

    bool consistent = true;
    for (const RaceThread& thread : threads)
        consistent = consistent && thread.seen == threads[0].seen;
    Report report;
    report.Add("threads", kThreads);
    report.Add("consistent", consistent ? 1 : 0);
    report.Add("major", threads[0].seen.major);
    report.Add("minor", threads[0].seen.minor);
    report.Add("index", threads[0].seen.index);
    report.Add("name", threads[0].seen.name);
    report.Add("windowsDir", *threads[0].seen.windowsDir);
    report.Add("systemDir", *threads[0].seen.systemDir);
    report.AddTrace(capture);
    return report.Write(output) ? 0 : 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 1;
    const std::wstring mode = argc > 2 ? argv[2] : L"report";
    if (mode == L"race")
        return RunRace(argv[1]);
    return RunReport(argv[1]);
}
