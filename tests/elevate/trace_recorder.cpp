// A recording stand-in of qztrace.dll, for suites only.
//
// It exports the tracing library's whole interface. A suite copies it as
// "qztrace.dll" beside a launcher binary in a temporary installation; the
// binary then loads it instead of the real library, and every call into the
// library is appended, in order, to "qztrace.calls" beside this DLL:
//
//   SetConfigFile(<path>)            GetConfigFile
//   SetRefreshInterval(30,0)         SetRotation(20,1000000,0)
//   SetD_File(<path>,0,1)            SetPrefix(<pattern>,<scope>,<level>,<template>)
//   SetDoPrintFor(<scope>,<pattern>,<level>,<on>)
//   Line(<level>,<class or ->)<text of the statement, "\n" written as \n>
//
// Why a stand-in: what InitTrace must guarantee is the order of its calls into
// the library (the file named before the banner, the banner before the
// prefixes and levels), and a real library shows that order only partly in
// its output: whether the banner reaches the file at all depends on the
// levels the library starts with. The stand-in writes every statement,
// whatever its level, so a suite sees exactly which statements were made and
// where they fall between the configuration calls.
//
// A file "qztrace.answer" beside this DLL holding "null" or "empty" makes
// D_C_Support_GetConfigFile answer null or an empty text instead of the path
// last set.
#include "trace/qztrace.h"

#include <sstream>
#include <string>

namespace
{

struct RecorderState
{
    RecorderState() { ::InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::ostringstream stream;
    int depth = 0;
    bool asked = false;
    unsigned level = 0;
    std::string className;
    std::wstring configFile;
    bool configSet = false;
};

// Never destroyed: statements may run during static destruction.
RecorderState& State()
{
    static RecorderState* const state = new RecorderState();
    return *state;
}

std::wstring BesideThisDll(const wchar_t* name)
{
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&BesideThisDll), &self);
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = ::GetModuleFileNameW(self, path, sizeof(path) / sizeof(path[0]));
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

std::string Utf8(const wchar_t* text)
{
    if (!text)
        return "<null>";
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

std::string Text(const char* text)
{
    return text ? text : "<null>";
}

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

void Append(const std::string& record)
{
    const DWORD lastError = ::GetLastError();
    const std::wstring path = BesideThisDll(L"qztrace.calls");
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        const std::string line = record + "\n";
        DWORD written = 0;
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    ::SetLastError(lastError);
}

void Record(const std::string& record)
{
    RecorderState& state = State();
    ::EnterCriticalSection(&state.lock);
    Append(record);
    ::LeaveCriticalSection(&state.lock);
}

std::string Answer()
{
    HANDLE file = ::CreateFileW(BesideThisDll(L"qztrace.answer").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    char buffer[16] = {};
    DWORD read = 0;
    ::ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    ::CloseHandle(file);
    return std::string(buffer, read);
}

} // namespace

void D_Support_c::Enter()
{
    RecorderState& state = State();
    ::EnterCriticalSection(&state.lock);
    if (state.depth++ == 0)
    {
        state.asked = false;
        state.stream.str(std::string());
    }
}

void D_Support_c::Leave()
{
    RecorderState& state = State();
    if (--state.depth == 0 && state.asked)
    {
        Append("Line(" + std::to_string(state.level) + "," + state.className + ")" + Escape(state.stream.str()));
        state.asked = false;
    }
    ::LeaveCriticalSection(&state.lock);
}

int D_Support_c::DoPrintFor(const char*, const char* className, unsigned level)
{
    RecorderState& state = State();
    state.asked = true;
    state.level = level;
    state.className = className ? className : "-";
    return 1;
}

std::ostream& D_Support_c::D_Stream()
{
    return State().stream;
}

const char* D_Support_c::Prefix(const char*, unsigned long, const char*, int)
{
    return "";
}

void D_Support_c::SetDoPrintFor(D_Support_Scope scope, const char* pattern, int level, int on)
{
    Record("SetDoPrintFor(" + std::to_string(static_cast<int>(scope)) + "," + Text(pattern) + "," +
           std::to_string(level) + "," + std::to_string(on) + ")");
}

D_StackName_c::D_StackName_c(const char*, const char*) {}
D_StackName_c::~D_StackName_c() {}
D_LevelName_c::D_LevelName_c(const char* name, int level) : m_name(name), m_level(level) {}
D_LevelName_c::~D_LevelName_c() {}
CqzIostreamInit::CqzIostreamInit()
{
    State();
}

std::ostream& operator<<(std::ostream& os, const wchar_t* text)
{
    if (text)
        os << Utf8(text);
    return os;
}

std::ostream& operator<<(std::ostream& os, const std::wstring& text)
{
    return os << text.c_str();
}

void D_C_Support_SetConfigFile(const wchar_t* path)
{
    RecorderState& state = State();
    ::EnterCriticalSection(&state.lock);
    state.configSet = path != nullptr;
    state.configFile = path ? path : L"";
    ::LeaveCriticalSection(&state.lock);
    Record("SetConfigFile(" + Utf8(path) + ")");
}

const wchar_t* D_C_Support_GetConfigFile()
{
    Record("GetConfigFile");
    const std::string answer = Answer();
    if (answer == "null")
        return nullptr;
    if (answer == "empty")
        return L"";
    RecorderState& state = State();
    return state.configSet ? state.configFile.c_str() : nullptr;
}

void D_C_Support_SetD_File(const char* utf8Path, int reserved, int append)
{
    Record("SetD_File(" + Text(utf8Path) + "," + std::to_string(reserved) + "," + std::to_string(append) + ")");
}

void D_C_Support_SetPrefix(const char* pattern, int scope, int level, const char* prefixTemplate)
{
    Record("SetPrefix(" + Text(pattern) + "," + std::to_string(scope) + "," + std::to_string(level) + "," +
           Text(prefixTemplate) + ")");
}

void D_C_Support_SetRotation(int filesKept, int bytesPerFile, int reserved)
{
    Record("SetRotation(" + std::to_string(filesKept) + "," + std::to_string(bytesPerFile) + "," +
           std::to_string(reserved) + ")");
}

void D_C_Support_SetRefreshInterval(int seconds, int reserved)
{
    Record("SetRefreshInterval(" + std::to_string(seconds) + "," + std::to_string(reserved) + ")");
}
