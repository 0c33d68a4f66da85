// Trace statement cost: disabled statements, and enabled statements to the
// trace file against the floor, the same bytes written with one WriteFile per
// statement to a file opened the same way (append-only, shared for rename).
//
//   trace_bench [statements]      (default 100000 enabled statements per case)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_env.h"
#include "trace/trace.h"

namespace
{

const int kOff = 1900;      // switched on for nothing
const int kClassOff = 1901; // switched on for another class only
const int kOn = 1902;       // switched on for every class, launcher prefix

double Seconds()
{
    LARGE_INTEGER f;
    LARGE_INTEGER c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

template <class Body>
double BestNsPerOp(int repeats, long long ops, Body body)
{
    double best = 1e30;
    for (int r = 0; r < repeats; ++r)
    {
        const double start = Seconds();
        body();
        best = std::min(best, (Seconds() - start) * 1e9 / static_cast<double>(ops));
    }
    return best;
}

// Both cases in turns, so that both see the same load of a shared machine;
// the best turn of each, and the median of the turns' own ratios a / b.
template <class A, class B>
void BestOfTurns(int rounds, long long ops, A a, B b, double* aNs, double* bNs, double* turnRatio)
{
    *aNs = *bNs = 1e30;
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r)
    {
        const double aTurn = BestNsPerOp(1, ops, a);
        const double bTurn = BestNsPerOp(1, ops, b);
        *aNs = std::min(*aNs, aTurn);
        *bNs = std::min(*bNs, bTurn);
        ratios.push_back(aTurn / bTurn);
    }
    *turnRatio = BenchMedian(ratios);
}

// Runs body(threadIndex) on n threads at once.
template <class Body>
void OnThreads(int n, Body body)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&body, t] { body(t); });
    for (std::thread& t : threads)
        t.join();
}

class CqzBench
{
public:
    static void Disabled(long long n)
    {
        for (long long i = 0; i < n; ++i)
            QZTRACE(kOff, "CqzBench", "never " << i);
    }
    static void ClassDisabled(long long n)
    {
        for (long long i = 0; i < n; ++i)
            QZTRACE(kClassOff, "CqzBench", "never " << i);
    }
    static void Enabled(long long n)
    {
        QZ_STACK_NAME("Enabled", "CqzBench");
        const wchar_t* path = L"C:\\Program Files\\Agent\\bin\\qz_elevate.exe";
        for (long long i = 0; i < n; ++i)
            QZTRACE(kOn, "CqzBench", "INFO: statement " << static_cast<long>(i % 100000) << " of " << path);
    }
};

std::string Utf8(const std::wstring& text)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

HANDLE OpenLikeTheLibrary(const std::wstring& path)
{
    return ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string LastLine(const std::wstring& path)
{
    std::string text;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return text;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got)
        text.append(buffer, got);
    ::CloseHandle(h);
    if (text.size() < 2)
        return std::string();
    const size_t start = text.rfind('\n', text.size() - 2);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

void DeleteWithRotations(const std::wstring& path)
{
    ::DeleteFileW(path.c_str());
    for (int i = 1; i <= 30; ++i)
        ::DeleteFileW((path + L"." + std::to_wstring(i)).c_str());
}

void Row(const char* name, double ns, double floorNs, double turnRatio = 0)
{
    if (floorNs > 0 && turnRatio > 0)
        std::printf("| %-44s | %10.1f | %10.1f | %6.2f | %6.2f |\n", name, ns, floorNs, ns / floorNs, turnRatio);
    else if (floorNs > 0)
        std::printf("| %-44s | %10.1f | %10.1f | %6.2f | %6s |\n", name, ns, floorNs, ns / floorNs, "");
    else
        std::printf("| %-44s | %10.1f | %10s | %6s | %6s |\n", name, ns, "", "", "");
}

} // namespace

int main(int argc, char** argv)
{
    const long long enabledOps = argc > 1 ? std::atoll(argv[1]) : 100000;
    const long long disabledOps = 20000000;

    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"qztrace_bench_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring tracePath = dir + L"\\bench.trace";
    const std::wstring floorPath = dir + L"\\floor.trace";

    // The launcher's settings.
    D_C_Support_SetRotation(0, 0, 0);
    D_C_Support_SetD_File(Utf8(tracePath).c_str(), 0, 1);
    D_C_Support_SetPrefix(".*", 1, -1,
                          "<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID> <%CLASS>::<%STACK>:");
    D_Support_c::SetDoPrintFor(1, "CqzSomethingElse", kClassOff, 1);
    D_Support_c::SetDoPrintFor(1, ".*", kOn, 1);

    std::printf("trace_bench (%s): enabled cases in 8 turns of %lld statements against the floor (best turn of\n"
                "each; \"turns\": the median of the turns' own ratios), "
                "%lld disabled statements (best of 5)\n\n",
                BenchEnvironment().c_str(), std::max<long long>(enabledOps / 5, 1), disabledOps);
    std::printf("| %-44s | %10s | %10s | %6s | %6s |\n", "case", "ns/stmt", "floor ns", "ratio", "turns");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(8, '-').c_str(), std::string(8, '-').c_str());

    // What every statement costs before the library is reached: the macro
    // saves and restores the thread's last-error value.
    const double lastError = BestNsPerOp(5, disabledOps,
                                         [&]
                                         {
                                             for (long long i = 0; i < disabledOps; ++i)
                                                 ::SetLastError(::GetLastError());
                                         });
    Row("baseline: GetLastError + SetLastError only", lastError, 0);
    const double disabled = BestNsPerOp(5, disabledOps, [&] { CqzBench::Disabled(disabledOps); });
    Row("disabled statement (level off)", disabled, 0);
    const double classDisabled = BestNsPerOp(5, disabledOps, [&] { CqzBench::ClassDisabled(disabledOps); });
    Row("disabled statement (level on for other class)", classDisabled, 0);

    // Enabled, one thread.
    CqzBench::Enabled(1000); // warm up; also gives the line the floor writes
    const std::string line = LastLine(tracePath);
    HANDLE floorFile = OpenLikeTheLibrary(floorPath);
    auto floorWrite = [&](long long n)
    {
        DWORD written = 0;
        for (long long i = 0; i < n; ++i)
            ::WriteFile(floorFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    };
    const long long round = std::max<long long>(enabledOps / 5, 1);
    double enabled1 = 0;
    double floor1 = 0;
    double turns1 = 0;
    BestOfTurns(
        8, round, [&] { CqzBench::Enabled(round); }, [&] { floorWrite(round); }, &enabled1, &floor1, &turns1);
    Row("enabled to file, 1 thread", enabled1, floor1, turns1);

    // Two threads, each writing half.
    const long long half = std::max<long long>(round / 2, 1);
    double enabled2 = 0;
    double floor2 = 0;
    double turns2 = 0;
    BestOfTurns(
        8, 2 * half, [&] { OnThreads(2, [&](int) { CqzBench::Enabled(half); }); },
        [&] { OnThreads(2, [&](int) { floorWrite(half); }); }, &enabled2, &floor2, &turns2);
    Row("enabled to file, 2 threads (per statement)", enabled2, floor2, turns2);

    // With the launcher's rotation: 20 files of 1,000,000 bytes.
    D_C_Support_SetRotation(20, 1000000, 0);
    double rotating = 0;
    double floorRotating = 0;
    double turnsRotating = 0;
    BestOfTurns(
        8, round, [&] { CqzBench::Enabled(round); }, [&] { floorWrite(round); }, &rotating, &floorRotating,
        &turnsRotating);
    D_C_Support_SetRotation(0, 0, 0);
    Row("enabled to file, rotation 20 x 1 MB, 1 thread", rotating, floorRotating, turnsRotating);

    // For reference: the floor with a named mutex around every write, the
    // usual way to keep appends of several processes apart.
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, L"Local\\qztrace_bench_mutex");
    const long long mutexOps = std::min<long long>(enabledOps, 3000);
    const double mutexFloor =
        BestNsPerOp(1, mutexOps,
                    [&]
                    {
                        DWORD written = 0;
                        for (long long i = 0; i < mutexOps; ++i)
                        {
                            ::WaitForSingleObject(mutex, INFINITE);
                            ::WriteFile(floorFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
                            ::ReleaseMutex(mutex);
                        }
                    });
    Row("floor + named mutex per write (reference)", mutexFloor, floor1);
    (void)floorRotating;
    ::CloseHandle(mutex);
    ::CloseHandle(floorFile);

    std::printf("\nline written (%u bytes): %s", static_cast<unsigned>(line.size()), line.c_str());

    D_C_Support_SetD_File(nullptr, 0, 1);
    DeleteWithRotations(tracePath);
    ::DeleteFileW(floorPath.c_str());
    ::RemoveDirectoryW(dir.c_str());
    return 0;
}
