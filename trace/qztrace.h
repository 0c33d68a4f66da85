// Interface of qztrace.dll, the agent's tracing library.
//
// Every agent component traces through this library. Code does not call it
// directly but through the statement macro of trace/trace.h, which keeps the
// order the library relies on: Enter, DoPrintFor, Prefix, pieces, Leave.
//
// The std::ostream returned by D_Support_c::D_Stream() crosses the module
// boundary: the process must hold one copy of the C++ runtime (the runtime
// DLLs beside the binaries).
#pragma once

#include <windows.h>

#include <ostream>
#include <string>

#ifdef QZTRACE_BUILD
#define QZTRACE_API __declspec(dllexport)
#else
#define QZTRACE_API __declspec(dllimport)
#endif

// Trace levels: 100..600 from the most severe to the finest.
enum
{
    QZT_ERROR = 100,
    QZT_WARNING = 200,
    QZT_INFO = 300,
    QZT_TRACE = 400,
    QZT_VERBOSE = 500,
    QZT_DEBUG = 600,
    QZT_FLASHBACK_ERROR = 3700,
    QZT_FLASHBACK_WARNING = 3710,
    QZT_FLASHBACK_INFO = 3720,
    QZT_REDIRECTED = 3838,
};

// What a pattern of SetDoPrintFor / D_C_Support_SetPrefix is matched against.
enum D_Support_Scope
{
    D_SCOPE_FILE = 0,  // base name of the statement's source file
    D_SCOPE_CLASS = 1, // class name of the statement (empty outside classes)
};

class QZTRACE_API D_Support_c
{
public:
    // Bracket one statement; everything inserted in between forms one line,
    // written whole at the outermost Leave. Nested statements (a piece that
    // traces itself) are written as their own whole lines.
    static void Enter();
    static void Leave();

    // Nonzero when a statement of this source file, class (may be null) and
    // level is to be written; zero as well while no trace file is open. Cheap
    // when the level is switched off. Each thread caches its answers by the
    // addresses of the two texts: pass texts that keep their address and
    // content (literals, as the statement macro does).
    static int DoPrintFor(const char* file, const char* className, unsigned level);

    // The calling thread's trace stream. Text inserted between Enter and Leave
    // is written at Leave; text inserted outside any statement is written at
    // flush(), complete lines only.
    static std::ostream& D_Stream();

    // Prefix text of one line, expanded from the level's template. The text
    // belongs to the calling thread and lives until its next Prefix call.
    static const char* Prefix(const char* file, unsigned long line, const char* className, int level);

    // Switches writing of a level on (on != 0) or off for the names of the
    // given scope that the pattern matches. Later rules override earlier ones.
    // The library starts with levels 100, 200 and 300 on for every class.
    static void SetDoPrintFor(D_Support_Scope scope, const char* pattern, int level, int on);
    static void SetDoPrintFor(int scope, const char* pattern, int level, int on)
    {
        SetDoPrintFor(static_cast<D_Support_Scope>(scope), pattern, level, on);
    }
};

// Names the running function (and its class) for the <%STACK> and <%FUNC>
// prefix fields while the object lives. The texts must outlive the object.
class QZTRACE_API D_StackName_c
{
public:
    D_StackName_c(const char* function, const char* className);
    ~D_StackName_c();
    D_StackName_c(const D_StackName_c&) = delete;
    D_StackName_c& operator=(const D_StackName_c&) = delete;
};

// Makes a level known to the library by name (the <%LEVEL> field, the level
// names of the configuration file). The library keeps a copy of the name, so
// that statements run at exit after the object is gone still show it.
class QZTRACE_API D_LevelName_c
{
public:
    D_LevelName_c(const char* name, int level);
    ~D_LevelName_c();
    D_LevelName_c(const D_LevelName_c&) = delete;
    D_LevelName_c& operator=(const D_LevelName_c&) = delete;

private:
    const char* m_name;
    int m_level;
};

// Makes sure the library's streams exist before any static object of the
// translation unit traces. Trivially destructible: it is never torn down.
class QZTRACE_API CqzIostreamInit
{
public:
    CqzIostreamInit();
};

// Wide text is written to trace streams as UTF-8.
QZTRACE_API std::ostream& operator<<(std::ostream& os, const wchar_t* text);
QZTRACE_API std::ostream& operator<<(std::ostream& os, const std::wstring& text);

extern "C"
{
    // Configuration file (syntax in the README), read at once and re-read when
    // it changes, checked at most once per refresh interval. Null or empty:
    // none.
    QZTRACE_API void D_C_Support_SetConfigFile(const wchar_t* path);
    // The configuration file last set; null when none was set. The text lives
    // until the next D_C_Support_SetConfigFile.
    QZTRACE_API const wchar_t* D_C_Support_GetConfigFile();
    // Trace file, path in UTF-8. The directory is created when missing; append
    // nonzero keeps what the file holds, zero truncates it on open. A file that
    // cannot be opened leaves writing off; a null or empty path closes the
    // current file and leaves writing off.
    QZTRACE_API void D_C_Support_SetD_File(const char* utf8Path, int reserved, int append);
    // Prefix template for the levels (-1: every level) of the names that the
    // pattern matches in the scope.
    QZTRACE_API void D_C_Support_SetPrefix(const char* pattern, int scope, int level, const char* prefixTemplate);
    // Size-based rotation: files kept besides the current one, bytes per file.
    // When a write makes the file reach bytesPerFile it becomes name.1 (older
    // ones move up to name.filesKept, the oldest is deleted). filesKept <= 0 or
    // bytesPerFile <= 0: no rotation.
    QZTRACE_API void D_C_Support_SetRotation(int filesKept, int bytesPerFile, int reserved);
    // How often (seconds) the configuration file is checked for changes
    // (default 30; 0: never).
    QZTRACE_API void D_C_Support_SetRefreshInterval(int seconds, int reserved);
}
