#include <windows.h>

#include "trace/qztrace/config.h"

#include <atomic>
#include <string>
#include <vector>

#include "trace/qztrace/config_parse.h"
#include "trace/qztrace/rules.h"
#include "trace/qztrace/sink.h"
#include "trace/qztrace/utf.h"

namespace qztrace
{

namespace
{

const int kDefaultRefreshSeconds = 30;
const size_t kMaxDiagnostics = 20;

struct ConfigState
{
    std::wstring path;
    // What the file looked like at the last read.
    bool seen = false;
    FILETIME lastWrite = {};
    ULONGLONG size = 0;
    // Values of the last read: a value is applied when it changes, so that a
    // trace file named through the interface since then stays in use.
    bool read = false;
    ConfigSettings last;
};

SRWLOCK g_configLock = SRWLOCK_INIT; // guards g_config; taken before the rules' and the sink's locks
ConfigState* g_config = nullptr;
std::atomic<const wchar_t*> g_configPath{nullptr};
std::atomic<int> g_refreshSeconds{kDefaultRefreshSeconds};
std::atomic<DWORD> g_nextCheck{0};

// Every path handed out stays valid for the life of the process.
const wchar_t* KeepPath(const std::wstring& path)
{
    static std::vector<std::wstring*>* kept = new std::vector<std::wstring*>;
    for (const std::wstring* p : *kept)
        if (*p == path)
            return p->c_str();
    kept->push_back(new std::wstring(path));
    return kept->back()->c_str();
}

bool ResolveLevelName(const std::string& name, int* level)
{
    return LevelByName(name, level);
}

bool IsAbsolute(const std::string& path)
{
    return (path.size() >= 2 && path[1] == ':') || (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

std::string Resolve(const std::string& file, const std::wstring& configPath)
{
    if (file.empty() || IsAbsolute(file))
        return file;
    const std::string config = WideToUtf8(configPath.c_str(), configPath.size());
    const size_t slash = config.find_last_of("\\/");
    return slash == std::string::npos ? file : config.substr(0, slash + 1) + file;
}

void WriteDiagnostics(const std::wstring& path, const std::vector<ConfigDiagnostic>& diagnostics)
{
    const std::string where = WideToUtf8(path.c_str(), path.size());
    size_t count = 0;
    for (const ConfigDiagnostic& d : diagnostics)
    {
        std::string text;
        if (++count > kMaxDiagnostics)
        {
            text = "qztrace: WARNING: " + where + ": " + std::to_string(diagnostics.size() - kMaxDiagnostics) +
                   " more problems not shown\n";
        }
        else if (d.line)
        {
            text = "qztrace: WARNING: " + where + "(" + std::to_string(d.line) + "): " + d.reason + "; line ignored\n";
        }
        else
        {
            text = "qztrace: WARNING: " + where + ": " + d.reason + "\n";
        }
        ::OutputDebugStringA(text.c_str());
        SinkWrite(text.data(), text.size());
        if (count > kMaxDiagnostics)
            break;
    }
}

bool ReadWholeFile(const std::wstring& path, std::string* text)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // One byte beyond the limit tells the parser the file was cut.
    text->resize(kMaxConfigBytes + 1);
    size_t used = 0;
    bool ok = true;
    while (used < text->size())
    {
        DWORD got = 0;
        if (!::ReadFile(file, &(*text)[used], static_cast<DWORD>(text->size() - used), &got, nullptr))
        {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        used += got;
    }
    ::CloseHandle(file);
    text->resize(used);
    return ok;
}

void Apply(ConfigState& state, const ConfigSettings& s)
{
    std::vector<ConfigDiagnostic> diagnostics = s.diagnostics;
    std::vector<std::string> problems;
    ReplaceConfigRules(s.levels, s.prefixes, &problems);
    for (const std::string& p : problems)
        diagnostics.push_back(ConfigDiagnostic{0, p});
    const ConfigSettings& last = state.last;
    if (s.hasRefresh && (!state.read || !last.hasRefresh || last.refreshSeconds != s.refreshSeconds))
        ConfigSetRefreshInterval(s.refreshSeconds);
    if (s.hasRotation && (!state.read || !last.hasRotation || last.rotationFiles != s.rotationFiles ||
                          last.rotationBytes != s.rotationBytes))
        SinkSetRotation(s.rotationFiles, s.rotationBytes);
    if (s.hasFile && (!state.read || !last.hasFile || last.file != s.file || last.append != s.append))
    {
        const std::string file = Resolve(s.file, state.path);
        std::string error;
        if (file.empty())
            SinkClose();
        else if (!SinkOpen(file.c_str(), s.append, &error))
            diagnostics.push_back(ConfigDiagnostic{0, "trace file \"" + file + "\" " + error});
    }
    state.last = s;
    state.last.diagnostics.clear();
    state.last.levels.clear();
    state.last.prefixes.clear();
    state.read = true;
    WriteDiagnostics(state.path, diagnostics);
}

// g_configLock held.
void LoadIfChanged(ConfigState& state, bool force)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(state.path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        if (state.seen)
        {
            // The file went away: its rules go with it, the rest stays.
            ReplaceConfigRules({}, {}, nullptr);
            state.seen = false;
        }
        return;
    }
    const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (!force && state.seen && size == state.size && ::CompareFileTime(&data.ftLastWriteTime, &state.lastWrite) == 0)
        return;
    std::string text;
    if (!ReadWholeFile(state.path, &text))
        return; // being written: the next check tries again
    state.seen = true;
    state.size = size;
    state.lastWrite = data.ftLastWriteTime;
    ConfigSettings settings;
    ParseConfig(text.data(), text.size(), &ResolveLevelName, &settings);
    Apply(state, settings);
}

void ScheduleNextCheck()
{
    const int seconds = g_refreshSeconds.load(std::memory_order_relaxed);
    g_nextCheck.store(::GetTickCount() + static_cast<DWORD>(seconds > 0 ? seconds : 0) * 1000u,
                      std::memory_order_relaxed);
}

} // namespace

void ConfigSetPath(const wchar_t* path)
{
    ::AcquireSRWLockExclusive(&g_configLock);
    try
    {
        if (!g_config)
            g_config = new ConfigState;
        ConfigState& state = *g_config;
        const bool wasSeen = state.seen;
        state = ConfigState();
        if (!path || !*path)
        {
            g_configPath.store(nullptr, std::memory_order_release);
            if (wasSeen)
                ReplaceConfigRules({}, {}, nullptr);
        }
        else
        {
            state.path = path;
            g_configPath.store(KeepPath(state.path), std::memory_order_release);
            state.seen = wasSeen; // a vanished file still drops the old rules
            LoadIfChanged(state, true);
            ScheduleNextCheck();
        }
    }
    catch (...)
    {
    }
    ::ReleaseSRWLockExclusive(&g_configLock);
}

const wchar_t* ConfigGetPath()
{
    return g_configPath.load(std::memory_order_acquire);
}

void ConfigSetRefreshInterval(int seconds)
{
    g_refreshSeconds.store(seconds, std::memory_order_relaxed);
    ScheduleNextCheck();
}

void ConfigMaybeRefresh()
{
    const int seconds = g_refreshSeconds.load(std::memory_order_relaxed);
    if (seconds <= 0 || !g_configPath.load(std::memory_order_relaxed))
        return;
    const DWORD now = ::GetTickCount();
    if (static_cast<LONG>(now - g_nextCheck.load(std::memory_order_relaxed)) < 0)
        return;
    if (!::TryAcquireSRWLockExclusive(&g_configLock))
        return;
    try
    {
        ScheduleNextCheck();
        if (g_config && !g_config->path.empty())
            LoadIfChanged(*g_config, false);
    }
    catch (...)
    {
    }
    ::ReleaseSRWLockExclusive(&g_configLock);
}

} // namespace qztrace
