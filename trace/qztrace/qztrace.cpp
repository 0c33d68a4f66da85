// The exported interface of qztrace.dll.
//
// A statement costs little while its level is off: Enter only pushes a mark on
// the thread's own stack, DoPrintFor answers from a global bit set or the
// thread's decision cache, Leave only pops the mark. Text goes into the
// thread's line buffer; Leave writes what the statement added as one piece.
// No exception leaves this file, and the thread's last-error value is the same
// after every call as before it.
#include <windows.h>

#include "trace/qztrace.h"

#include <cstring>
#include <new>

#include "trace/qztrace/config.h"
#include "trace/qztrace/rules.h"
#include "trace/qztrace/sink.h"
#include "trace/qztrace/thread_state.h"
#include "trace/qztrace/utf.h"

using namespace qztrace;

namespace
{

class KeepLastError
{
public:
    KeepLastError() : m_error(::GetLastError()) {}
    ~KeepLastError() { ::SetLastError(m_error); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD m_error;
};

ThreadState* ThisThread()
{
    ThreadState* state = CurrentThreadState();
    if (state)
        return state;
    KeepLastError keep;
    return CreateThreadState();
}

std::ostream& NullStream()
{
    // No buffer: every insertion fails quietly.
    static std::ostream* stream = new std::ostream(nullptr);
    return *stream;
}

// The thread's cached decision; the rules themselves only on a miss.
Decision Lookup(ThreadState* state, const char* file, const char* className, unsigned level)
{
    const uint32_t generation = g_rulesGeneration.load(std::memory_order_acquire);
    CacheEntry& e = state->cache[ThreadState::CacheIndex(file, className, level)];
    Decision d;
    if (e.generation == generation && e.file == file && e.className == className && e.level == level)
    {
        d.on = e.on;
        d.prefix = e.prefix;
        return d;
    }
    KeepLastError keep;
    d = Decide(file, className, level);
    e.file = file;
    e.className = className;
    e.level = level;
    e.generation = generation;
    e.on = d.on;
    e.prefix = d.prefix;
    return d;
}

void WriteWide(std::ostream& os, const wchar_t* text, size_t length)
{
    const wchar_t* p = text;
    const wchar_t* end = text + length;
    char chunk[512];
    while (p < end)
    {
        const size_t n = EncodeUtf8(&p, end, chunk, sizeof chunk);
        os.write(chunk, static_cast<std::streamsize>(n));
    }
}

} // namespace

void D_Support_c::Enter()
{
    ThreadState* state = ThisThread();
    if (!state)
        return;
    if ((++state->calls & 255) == 0)
    {
        KeepLastError keep;
        try
        {
            ConfigMaybeRefresh();
        }
        catch (...)
        {
        }
    }
    const unsigned depth = state->depth++;
    if (depth < ThreadState::kMaxMarks)
        state->marks[depth] = static_cast<uint32_t>(state->buffer.Length());
}

void D_Support_c::Leave()
{
    ThreadState* state = CurrentThreadState();
    if (!state || state->depth == 0)
        return;
    const unsigned depth = --state->depth;
    // Beyond the deepest mark the text stays and goes out with the enclosing
    // statement's line.
    if (depth < ThreadState::kMaxMarks && state->buffer.Length() > state->marks[depth])
    {
        KeepLastError keep;
        try
        {
            state->Commit(state->marks[depth]);
        }
        catch (...)
        {
        }
    }
    if (state->streamUsed && (depth == 0 || state->stream.rdstate() != std::ios_base::goodbit))
    {
        KeepLastError keep;
        try
        {
            if (depth == 0)
                state->ResetStream();
            else
                state->stream.clear();
        }
        catch (...)
        {
        }
    }
}

int D_Support_c::DoPrintFor(const char* file, const char* className, unsigned level)
{
    if (!LevelMaybeOn(level) || !g_sinkOpen.load(std::memory_order_relaxed))
        return 0;
    ThreadState* state = CurrentThreadState();
    if (!state)
        return 0; // Enter could not create it: nowhere to put the text
    try
    {
        return Lookup(state, file, className, level).on ? 1 : 0;
    }
    catch (...)
    {
        return 0;
    }
}

std::ostream& D_Support_c::D_Stream()
{
    KeepLastError keep;
    try
    {
        ThreadState* state = ThisThread();
        if (!state)
            return NullStream();
        state->streamUsed = true;
        return state->stream;
    }
    catch (...)
    {
        return NullStream();
    }
}

const char* D_Support_c::Prefix(const char* file, unsigned long line, const char* className, int level)
{
    KeepLastError keep;
    try
    {
        ThreadState* state = ThisThread();
        if (!state)
            return "";
        const Decision d = Lookup(state, file, className, static_cast<unsigned>(level));
        if (!d.prefix || d.prefix->Empty())
            return "";
        return state->ExpandPrefix(d.prefix, file, line, className, level);
    }
    catch (...)
    {
        return "";
    }
}

void D_Support_c::SetDoPrintFor(D_Support_Scope scope, const char* pattern, int level, int on)
{
    KeepLastError keep;
    try
    {
        AddLevelRule(static_cast<int>(scope), pattern, level, on != 0);
    }
    catch (...)
    {
    }
}

D_StackName_c::D_StackName_c(const char* function, const char* className)
{
    ThreadState* state = ThisThread();
    if (!state)
        return;
    if (state->frameCount < ThreadState::kMaxFrames)
        state->frames[state->frameCount] = StackFrame{this, function, className};
    ++state->frameCount;
    ++state->frameChanges;
}

D_StackName_c::~D_StackName_c()
{
    ThreadState* state = CurrentThreadState();
    if (!state || state->frameCount == 0)
        return;
    ++state->frameChanges;
    const size_t stored = state->frameCount < ThreadState::kMaxFrames ? state->frameCount : ThreadState::kMaxFrames;
    if (state->frameCount > stored)
    {
        --state->frameCount; // the innermost frames were not kept
        return;
    }
    // Scopes end in reverse order; an object that ends out of turn is removed
    // where it stands.
    for (size_t i = stored; i-- > 0;)
    {
        if (state->frames[i].owner == this)
        {
            for (size_t j = i + 1; j < stored; ++j)
                state->frames[j - 1] = state->frames[j];
            --state->frameCount;
            return;
        }
    }
}

D_LevelName_c::D_LevelName_c(const char* name, int level) : m_name(name), m_level(level)
{
    KeepLastError keep;
    try
    {
        RegisterLevelName(name, level);
    }
    catch (...)
    {
    }
}

// The library keeps its copy of the name: statements of other objects'
// destructors at exit still show it.
D_LevelName_c::~D_LevelName_c() = default;

CqzIostreamInit::CqzIostreamInit()
{
    // The library's state is built when the DLL is loaded, before any module
    // that imports it initialises its statics; nothing is left to do here.
}

std::ostream& operator<<(std::ostream& os, const wchar_t* text)
{
    KeepLastError keep;
    try
    {
        if (!text)
            os.write("(null)", 6);
        else
            WriteWide(os, text, std::wcslen(text));
    }
    catch (...)
    {
    }
    return os;
}

std::ostream& operator<<(std::ostream& os, const std::wstring& text)
{
    KeepLastError keep;
    try
    {
        WriteWide(os, text.data(), text.size());
    }
    catch (...)
    {
    }
    return os;
}

void D_C_Support_SetConfigFile(const wchar_t* path)
{
    KeepLastError keep;
    try
    {
        ConfigSetPath(path);
    }
    catch (...)
    {
    }
}

const wchar_t* D_C_Support_GetConfigFile()
{
    return ConfigGetPath();
}

void D_C_Support_SetD_File(const char* utf8Path, int /*reserved*/, int append)
{
    KeepLastError keep;
    try
    {
        if (!utf8Path || !*utf8Path)
        {
            SinkClose();
            return;
        }
        std::string error;
        if (!SinkOpen(utf8Path, append != 0, &error))
        {
            const std::string text = "qztrace: ERROR: trace file \"" + std::string(utf8Path) + "\" " + error + "\n";
            ::OutputDebugStringA(text.c_str());
        }
    }
    catch (...)
    {
    }
}

void D_C_Support_SetPrefix(const char* pattern, int scope, int level, const char* prefixTemplate)
{
    KeepLastError keep;
    try
    {
        AddPrefixRule(scope, pattern, level, prefixTemplate);
    }
    catch (...)
    {
    }
}

void D_C_Support_SetRotation(int filesKept, int bytesPerFile, int /*reserved*/)
{
    SinkSetRotation(filesKept, bytesPerFile);
}

void D_C_Support_SetRefreshInterval(int seconds, int /*reserved*/)
{
    KeepLastError keep;
    ConfigSetRefreshInterval(seconds);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        // Without a slot tracing stays off; the host still loads.
        g_tlsIndex = ::TlsAlloc();
        qztrace::InstallDefaultRules();
        break;
    case DLL_THREAD_DETACH:
        DestroyCurrentThreadState();
        break;
    case DLL_PROCESS_DETACH:
        if (reserved)
        {
            // Process exit: other threads are gone, maybe in the middle of a
            // write. Only this thread's pending text is written; all else is
            // left to the system.
            SinkProcessExiting();
            DestroyCurrentThreadState();
        }
        else
        {
            DestroyCurrentThreadState();
            DestroyAllThreadStates();
            SinkClose();
            if (g_tlsIndex != TLS_OUT_OF_INDEXES)
                ::TlsFree(g_tlsIndex);
            g_tlsIndex = TLS_OUT_OF_INDEXES;
        }
        break;
    default:
        break;
    }
    return TRUE;
}
