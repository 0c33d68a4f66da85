// What a run of the launcher costs: qz_elevate.exe "/explore <folder>" end to
// end, as the agent starts it in the usual case (policy value absent, so the
// token is examined; stand-in qz_shex.dll; agent service stand-in running and
// notified), against two programs started the same way from the same
// directory, interleaved in one run:
//   - the floor (bench_floor.exe): the same system work in plain C, without
//     the C++ runtime or the tracing library, writing as many trace bytes;
//   - an empty GUI program (bench_empty_gui.exe), the cost of any process.
//
// Prints the median, mean and fastest wall time of each as the parent sees
// it, the ratios launcher / floor and launcher / empty, and the launcher's
// time split in three: process start to its first trace statement, first
// statement to its exit line, exit line to process end. The split comes from
// millisecond timestamps: the installation carries a trace configuration
// file (config\qz_elevate.cfg) that puts the process id and the local time to
// the millisecond in front of every line, and the parent reads the same clock
// before it starts the process and when the wait for it ends.
//
//   launcher_bench.exe [runs]     (default 30 of each, after 3 warm-up rounds)
#include "bench/bench_env.h"
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

const double kDayMs = 86400000.0;

struct Timed
{
    bool ok = false;
    DWORD pid = 0;
    DWORD exitCode = 0;
    double wallMs = 0;     // CreateProcessW to the end of the wait (performance counter)
    double startClock = 0; // local time of day before CreateProcessW, ms
    double endClock = 0;   // local time of day when the wait ended, ms
};

double Now(const LARGE_INTEGER& frequency)
{
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The clock of the trace prefix: local time of day in milliseconds.
double ClockMs()
{
    FILETIME now;
    FILETIME local;
    ::GetSystemTimeAsFileTime(&now);
    if (!::FileTimeToLocalFileTime(&now, &local))
        return 0;
    ULARGE_INTEGER value;
    value.LowPart = local.dwLowDateTime;
    value.HighPart = local.dwHighDateTime;
    return static_cast<double>((value.QuadPart / 10000) % 86400000ULL);
}

// b - a on the time-of-day clock, across midnight as well.
double ClockSpan(double a, double b)
{
    const double span = b - a;
    return span < -kDayMs / 2 ? span + kDayMs : span;
}

Timed Start(const std::wstring& exe, const std::wstring& arguments, const LARGE_INTEGER& frequency)
{
    Timed timed;
    std::wstring cmdLine = qztest::QuoteArg(exe) + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    timed.startClock = ClockMs();
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
    timed.endClock = ClockMs();
    ::GetExitCodeProcess(process.Get(), &timed.exitCode);
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

Summary Summarise(const std::vector<double>& values)
{
    Summary summary;
    if (values.empty())
        return summary;
    summary.median = BenchMedian(values);
    double total = 0;
    for (double value : values)
        total += value;
    summary.mean = total / static_cast<double>(values.size());
    summary.fastest = *std::min_element(values.begin(), values.end());
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

ULONGLONG FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The launcher's command trace file (its name holds the user checksum).
std::wstring CommandTracePath(const std::wstring& traceDir)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((traceDir + L"\\qz_elevate.ebh.*.trace").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return std::wstring();
    ::FindClose(find);
    return traceDir + L"\\" + data.cFileName;
}

// Per launcher process: the time of its first trace statement (start-up file)
// and of its exit line (the command's file).
void ReadStamps(const std::wstring& startupTrace, const std::wstring& commandTrace, std::map<DWORD, double>& first,
                std::map<DWORD, double>& exitLine)
{
    DWORD pid = 0;
    double ms = 0;
    std::string message;
    for (const std::string& line : qztest::ReadLines(startupTrace))
    {
        if (ParseStamp(line, pid, ms, message) && first.count(pid) == 0)
            first[pid] = ms;
    }
    for (const std::string& line : qztest::ReadLines(commandTrace))
    {
        if (ParseStamp(line, pid, ms, message) && message.compare(0, 23, "INFO: Exited with code ") == 0)
            exitLine[pid] = ms;
    }
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
        !install.CopyFromBuild({L"bench_empty_gui.exe", L"bench_floor.exe"}))
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
    // The parameters key as the agent's installer leaves it, without the
    // policy value: the launcher examines its token, as it usually does.
    const std::wstring parametersKey = std::wstring(qztest::kAgentServiceKey) + L"\\Parameters";
    const std::wstring policyKey = parametersKey + L"\\Marrowgate";
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, parametersKey);
    if (!qztest::CreateRegKey(HKEY_LOCAL_MACHINE, policyKey))
    {
        std::printf("cannot create the policy key\n");
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
    const std::wstring floor = install.BinDir() + L"\\bench_floor.exe";
    const std::wstring empty = install.BinDir() + L"\\bench_empty_gui.exe";
    const std::wstring arguments = L"/explore C:\\users\\Public";
    const std::wstring startupTrace = install.TraceDir() + L"\\qz_elevate.bench.trace";

    // Warm-up rounds of the launcher alone; what they add to its two trace
    // files is what the floor writes per run.
    int failures = 0;
    for (int i = 0; i < warmUp; ++i)
    {
        const Timed l = Start(launcher, arguments, frequency);
        failures += l.ok && l.exitCode == 0 ? 0 : 1;
    }
    const std::wstring commandTrace = CommandTracePath(install.TraceDir());
    const ULONGLONG startupBytes = FileSize(startupTrace) / warmUp;
    const ULONGLONG commandBytes = commandTrace.empty() ? 0 : FileSize(commandTrace) / warmUp;
    const std::wstring floorArguments =
        arguments + L" " + std::to_wstring(startupBytes) + L" " + std::to_wstring(commandBytes);
    for (int i = 0; i < warmUp; ++i)
    {
        Start(floor, floorArguments, frequency);
        Start(empty, L"", frequency);
    }

    std::vector<double> launcherWall, floorWall, emptyWall;
    std::vector<Timed> launcherRuns;
    int floorFailures = 0;
    for (int i = 0; i < runs; ++i)
    {
        // Interleaved, and the order turned each round, so that drift in the
        // machine's load hits all three alike.
        Timed l, f, e;
        for (int k = 0; k < 3; ++k)
        {
            const int which = (i + k) % 3;
            if (which == 0)
                l = Start(launcher, arguments, frequency);
            else if (which == 1)
                f = Start(floor, floorArguments, frequency);
            else
                e = Start(empty, L"", frequency);
        }
        if (!l.ok || l.exitCode != 0 || !e.ok || e.exitCode != 0)
        {
            ++failures;
            continue;
        }
        if (!f.ok || f.exitCode != 0)
        {
            if (floorFailures++ == 0)
                std::printf("  the floor failed: %s, exit code %lu\n", f.ok ? "ran" : "did not start",
                            static_cast<unsigned long>(f.exitCode));
            continue;
        }
        launcherWall.push_back(l.wallMs);
        floorWall.push_back(f.wallMs);
        emptyWall.push_back(e.wallMs);
        launcherRuns.push_back(l);
    }

    std::map<DWORD, double> first, exitLine;
    ReadStamps(startupTrace, commandTrace, first, exitLine);
    std::vector<double> toFirst, own, fromExit;
    for (const Timed& run : launcherRuns)
    {
        if (!first.count(run.pid) || !exitLine.count(run.pid))
            continue;
        toFirst.push_back(ClockSpan(run.startClock, first[run.pid]));
        own.push_back(ClockSpan(first[run.pid], exitLine[run.pid]));
        fromExit.push_back(ClockSpan(exitLine[run.pid], run.endClock));
    }

    const size_t notified = service.Controls().size();
    std::vector<qztest::StandinCall> calls;
    qztest::ReadStandinCalls(install.BinDir(), calls);
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, parametersKey);

    std::printf("launcher_bench (%s): qz_elevate.exe /explore end to end against the floor program and an empty GUI "
                "program, %d interleaved runs each (after %d warm-up rounds)\n",
                BenchEnvironment().c_str(), static_cast<int>(launcherWall.size()), warmUp);
    std::printf("  failed runs: launcher or empty %d, floor %d; exit notifications received: %u; ShowEBH calls "
                "recorded: %u\n",
                failures, floorFailures, static_cast<unsigned>(notified), static_cast<unsigned>(calls.size()));
    std::printf("  floor writes %llu + %llu trace bytes per run (what a launcher run adds to its two files)\n",
                startupBytes, commandBytes);
    const Summary lw = Summarise(launcherWall), fw = Summarise(floorWall), ew = Summarise(emptyWall);
    std::printf("wall time, start to exit as the parent sees it:\n");
    Print("qz_elevate.exe", lw);
    Print("floor (same system work, plain C)", fw);
    Print("empty GUI program", ew);
    std::printf("launcher's time in three parts (trace timestamps, 1 ms resolution, %u runs):\n",
                static_cast<unsigned>(own.size()));
    Print("process start to first statement", Summarise(toFirst));
    Print("first statement to exit line", Summarise(own));
    Print("exit line to process end", Summarise(fromExit));
    if (fw.median > 0)
        std::printf("launcher / floor: %.2f\n", lw.median / fw.median);
    if (ew.median > 0)
        std::printf("launcher / empty: %.2f\n", lw.median / ew.median);
    if (ew.median > 0)
        std::printf("floor / empty: %.2f\n", fw.median / ew.median);
    // Each round ran the three programs back to back, so its own ratio is
    // the one a drift of the machine's pace disturbs least.
    std::vector<double> pairedFloor, pairedEmpty;
    for (size_t i = 0; i < launcherWall.size(); ++i)
    {
        if (floorWall[i] > 0)
            pairedFloor.push_back(launcherWall[i] / floorWall[i]);
        if (emptyWall[i] > 0)
            pairedEmpty.push_back(launcherWall[i] / emptyWall[i]);
    }
    if (!pairedFloor.empty() && !pairedEmpty.empty())
        std::printf("median of the rounds' own ratios, for reference: launcher / floor %.2f, launcher / empty %.2f\n",
                    BenchMedian(pairedFloor), BenchMedian(pairedEmpty));
    // The fastest runs are the ones a busy machine disturbed least.
    if (fw.fastest > 0)
        std::printf("fastest runs, for reference: launcher / floor %.2f, launcher / empty %.2f\n",
                    lw.fastest / fw.fastest, ew.fastest > 0 ? lw.fastest / ew.fastest : 0.0);
    return failures == 0 && floorFailures == 0 && !launcherWall.empty() ? 0 : 2;
}
