// Placeholder implementation: one lock, one file, no rotation.
#include "trace/qztrace.h"

#include <cstdio>
#include <sstream>
#include <string>

namespace
{
CRITICAL_SECTION g_lock;
bool g_lockReady = false;
std::ostringstream* g_stream = nullptr;
HANDLE g_file = INVALID_HANDLE_VALUE;
std::wstring g_config;
bool g_levels[4000] = {};
std::string g_prefix;

void Init()
{
    if (!g_lockReady)
    {
        InitializeCriticalSection(&g_lock);
        g_stream = new std::ostringstream;
        g_lockReady = true;
    }
}
} // namespace

void D_Support_c::Enter()
{
    Init();
    EnterCriticalSection(&g_lock);
}

void D_Support_c::Leave()
{
    std::string text = g_stream->str();
    g_stream->str(std::string());
    if (!text.empty() && g_file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        WriteFile(g_file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    LeaveCriticalSection(&g_lock);
}

int D_Support_c::DoPrintFor(const char*, const char*, unsigned level)
{
    return level < 4000 && g_levels[level];
}

std::ostream& D_Support_c::D_Stream()
{
    Init();
    return *g_stream;
}

const char* D_Support_c::Prefix(const char*, unsigned long, const char*, int)
{
    return g_prefix.c_str();
}

void D_Support_c::SetDoPrintFor(D_Support_Scope, const char*, int level, int on)
{
    if (level >= 0 && level < 4000)
        g_levels[level] = on != 0;
}

D_StackName_c::D_StackName_c(const char*, const char*) {}
D_StackName_c::~D_StackName_c() {}
D_LevelName_c::D_LevelName_c(const char* name, int level) : m_name(name), m_level(level) {}
D_LevelName_c::~D_LevelName_c() {}
CqzIostreamInit::CqzIostreamInit() { Init(); }

std::ostream& operator<<(std::ostream& os, const wchar_t* text)
{
    if (!text)
        return os;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n > 1)
    {
        std::string s(n, '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &s[0], n, nullptr, nullptr);
        s.resize(n - 1);
        os << s;
    }
    return os;
}

std::ostream& operator<<(std::ostream& os, const std::wstring& text) { return os << text.c_str(); }

void D_C_Support_SetConfigFile(const wchar_t* path) { g_config = path ? path : L""; }
const wchar_t* D_C_Support_GetConfigFile() { return g_config.c_str(); }
void D_C_Support_SetD_File(const char* utf8Path, int, int)
{
    if (g_file != INVALID_HANDLE_VALUE)
        CloseHandle(g_file);
    g_file = CreateFileA(utf8Path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
}
void D_C_Support_SetPrefix(const char*, int, int, const char*) {}
void D_C_Support_SetRotation(int, int, int) {}
void D_C_Support_SetRefreshInterval(int, int) {}
