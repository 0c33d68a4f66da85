// What a run of the launcher costs: qz_elevate.exe "/explore <folder>" end to
// end (policy value allowing non-administrators, stand-in qz_shex.dll, agent
// service stand-in running and notified) against an empty GUI program
// started the same way from the same directory, interleaved in one run.
//
// Prints, for both, the median, mean and fastest wall time of a start-to-
// exit run as the parent sees it, and their ratio; and the launcher's own
// time from its entry to its exit, taken from millisecond timestamps of its
// first trace statement (trace start-up, right after the entry) and of its
// exit line. For those timestamps the installation carries a trace
// configuration file (config\qz_elevate.cfg) that puts the process id and
// the time to the millisecond in front of every line; otherwise the launcher
// runs as the agent starts it.
//
//   launcher_bench.exe [runs]     (default 30 of each, after 3 warm-up runs)
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"
#include "testing/standin/standin_record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace
{

struct Timed
{
    bool ok = false;
    DWORD pid = 0;
    DWORD exitCode = 0;
    double wallMs = 0;     // CreateProcessW to the end of the wait, in the parent
    double lifetimeMs = 0; // process creation to exit, as the system records them
};

double Now(const LARGE_INTEGER& frequency)
{
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double FileTimeMs(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

Timed Start(const std::wstring& exe, const std::wstring& arguments, const LARGE_INTEGER& frequency)
{
    Timed timed;
    std::wstring cmdLine = qztest::QuoteArg(exe) + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    const double begin = Now(frequency);
    if (!::CreateProcessW(exe.c_str(), &cmdLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return timed;
    qztest::ScopedHandle process(pi.hProcess);
    qztest::ScopedHandle thread(pi.hThread);
    if (::WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0)
    {
        ::TerminateProcess(process.Get(), 0xDEAD);
        return timed;
    }
    timed.wallMs = Now(frequency) - begin;
    ::GetExitCodeProcess(process.Get(), &timed.exitCode);
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(process.Get(), &created, &exited, &kernel, &user))
        timed.lifetimeMs = FileTimeMs(exited) - FileTimeMs(created);
    timed.pid = pi.dwProcessId;
    timed.ok = true;
    return timed;
}

struct Summary
{
    double median = 0;
    double mean = 0;
    double fastest = 0;
};

Summary Summarise(std::vector<double> values)
{
    Summary summary;
    if (values.empty())
        return summary;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    summary.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    double total = 0;
    for (double value : values)
        total += value;
    summary.mean = total / static_cast<double>(n);
    summary.fastest = values.front();
    return summary;
}

// "<pid> HH:MM:SS.mmm message": pid and the time of day in milliseconds.
bool ParseStamp(const std::string& line, DWORD& pid, double& ms, std::string& message)
{
    unsigned long p = 0;
    int h = 0, m = 0, s = 0, milli = 0, used = 0;
    if (std::sscanf(line.c_str(), "%lu %d:%d:%d.%d %n", &p, &h, &m, &s, &milli, &used) != 5 || used == 0)
        return false;
    pid = static_cast<DWORD>(p);
    ms = ((h * 60.0 + m) * 60.0 + s) * 1000.0 + milli;
    message = line.substr(static_cast<size_t>(used));
    return true;
}

void Print(const char* name, const Summary& summary)
{
    std::printf("  %-36s median %8.1f ms   mean %8.1f ms   fastest %8.1f ms\n", name, summary.median, summary.mean,
                summary.fastest);
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int warmUp = 3;
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);

    qztest::AgentInstall install;
    if (install.Root().empty() || !install.CopyLauncher() || !install.CopyFromBuild(qztest::kStandinDlls) ||
        !install.CopyFromBuild({L"bench_empty_gui.exe"}))
    {
        std::printf("cannot lay out the agent installation\n");
        return 1;
    }
    qztest::AgentService service(install);
    if (!service.Installed() || !service.Start())
    {
        std::printf("cannot install or start the agent service stand-in (%s, error %lu)\n",
                    service.FailedStep().c_str(), service.Error());
        return 1;
    }
    const std::wstring policyKey = std::wstring(qztest::kAgentServiceKey) + L"\\Parameters\\Marrowgate";
    if (!qztest::SetRegDword(HKEY_LOCAL_MACHINE, policyKey, L"QzElevateAllowNonAdmin", 1))
    {
        std::printf("cannot write the policy value\n");
        return 1;
    }
    const char* const config = "file = ..\\trace\\qz_elevate.bench.trace\n"
                               "prefix class .* * \"<%PID> <%HOUR>:<%MIN>:<%SEC>.<%MSEC> \"\n"
                               "level class .* QZT_ERROR on\n"
                               "level class .* QZT_WARNING on\n"
                               "level class .* QZT_INFO on\n";
    if (!qztest::WriteTextFile(install.ConfigDir() + L"\\qz_elevate.cfg", config))
    {
        std::printf("cannot write the trace configuration\n");
        return 1;
    }

    const std::wstring launcher = install.LauncherPath();
    const std::wstring empty = install.BinDir() + L"\\bench_empty_gui.exe";
    const std::wstring arguments = L"/explore C:\\users\\Public";

    std::vector<double> launcherWall, emptyWall, launcherLife, emptyLife;
    std::vector<DWORD> launcherPids;
    int failures = 0;
    for (int i = 0; i < warmUp + runs; ++i)
    {
        // Interleaved, so that drift in the machine's load hits both alike.
        const Timed e = Start(empty, L"", frequency);
        const Timed l = Start(launcher, arguments, frequency);
        if (!e.ok || !l.ok || e.exitCode != 0 || l.exitCode != 0)
        {
            ++failures;
            continue;
        }
        if (i < warmUp)
            continue;
        emptyWall.push_back(e.wallMs);
        emptyLife.push_back(e.lifetimeMs);
        launcherWall.push_back(l.wallMs);
        launcherLife.push_back(l.lifetimeMs);
        launcherPids.push_back(l.pid);
    }

    // The launcher's first trace statement (start-up file) and its exit line
    // (the command's file), per process.
    std::map<DWORD, double> entry, exit;
    for (const std::string& line : qztest::ReadLines(install.TraceDir() + L"\\qz_elevate.bench.trace"))
    {
        DWORD pid = 0;
        double ms = 0;
        std::string message;
        if (ParseStamp(line, pid, ms, message) && entry.count(pid) == 0)
            entry[pid] = ms;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((install.TraceDir() + L"\\qz_elevate.ebh.*.trace").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        for (const std::string& line : qztest::ReadLines(install.TraceDir() + L"\\" + data.cFileName))
        {
            DWORD pid = 0;
            double ms = 0;
            std::string message;
            if (ParseStamp(line, pid, ms, message) && message.compare(0, 23, "INFO: Exited with code ") == 0)
                exit[pid] = ms;
        }
        ::FindClose(find);
    }
    std::vector<double> own;
    for (DWORD pid : launcherPids)
    {
        if (entry.count(pid) && exit.count(pid) && exit[pid] >= entry[pid])
            own.push_back(exit[pid] - entry[pid]);
    }

    const size_t notified = service.Controls().size();
    std::vector<qztest::StandinCall> calls;
    qztest::ReadStandinCalls(install.BinDir(), calls);

    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(qztest::kAgentServiceKey) + L"\\Parameters");

    std::printf("qz_elevate.exe /explore end to end vs an empty GUI program, %d runs each (after %d warm-up)\n",
                static_cast<int>(launcherWall.size()), warmUp);
    std::printf("  failed runs: %d; exit notifications received: %u; ShowEBH calls recorded: %u\n", failures,
                static_cast<unsigned>(notified), static_cast<unsigned>(calls.size()));
    const Summary lw = Summarise(launcherWall), ew = Summarise(emptyWall);
    const Summary ll = Summarise(launcherLife), el = Summarise(emptyLife);
    const Summary o = Summarise(own);
    std::printf("wall time, start to exit as the parent sees it:\n");
    Print("qz_elevate.exe", lw);
    Print("empty GUI program", ew);
    std::printf("process lifetime, creation to exit (system times, coarse):\n");
    Print("qz_elevate.exe", ll);
    Print("empty GUI program", el);
    std::printf("launcher's own time, entry to exit (trace timestamps, 1 ms resolution, %u runs):\n",
                static_cast<unsigned>(own.size()));
    Print("first trace statement to exit line", o);
    if (ew.median > 0)
        std::printf("ratio of median wall times, launcher / empty program: %.2f\n", lw.median / ew.median);
    if (lw.median > 0)
        std::printf("share of the launcher's median wall time spent between entry and exit: %.0f%%\n",
                    100.0 * o.median / lw.median);
    return failures == 0 ? 0 : 2;
}
