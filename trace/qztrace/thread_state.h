// Per-thread state: the line buffer and stream of the thread's statements,
// its statement marks, its D_StackName_c scopes and its decision cache.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

#include "trace/qztrace/prefix_template.h"

namespace qztrace
{

class ThreadState;

// Collects the text of the thread's statements. Insertions never fail: text
// beyond kMaxLine is dropped and the line is marked as cut.
class LineBuffer : public std::streambuf
{
public:
    static const size_t kMaxLine = 1024 * 1024;

    explicit LineBuffer(ThreadState* owner) : m_owner(owner) {}
    ~LineBuffer() override;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    size_t Length() const { return static_cast<size_t>(pptr() - pbase()); }
    const char* Data() const { return pbase(); }
    void Truncate(size_t length);
    // Adds "...\n" after a cut line (room is kept for it); the new length.
    size_t MarkCut();
    bool Cut() const { return m_cut; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    static const size_t kSpare = 8;
    bool Grow(size_t needed);

    ThreadState* m_owner;
    char* m_data = nullptr;
    size_t m_capacity = 0;
    bool m_cut = false;
};

struct CacheEntry
{
    const char* file;
    const char* className;
    unsigned level;
    uint32_t generation; // 0: empty (the rules' generation starts at 1)
    const PrefixTemplate* prefix;
    bool on;
};

class ThreadState
{
public:
    static const unsigned kMaxMarks = 32;
    static const size_t kMaxFrames = 64;
    static const size_t kCacheSize = 64;
    static const size_t kPrefixSize = 2048;

    ThreadState();
    ~ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    static size_t CacheIndex(const char* file, const char* className, unsigned level)
    {
        const uintptr_t h = (reinterpret_cast<uintptr_t>(file) >> 2) ^ (reinterpret_cast<uintptr_t>(className) * 7) ^
                            (static_cast<uintptr_t>(level) * 13);
        return static_cast<size_t>(h ^ (h >> 7)) & (kCacheSize - 1);
    }

    // Writes [mark, end) of the buffer as one piece and cuts the buffer back.
    void Commit(size_t mark);
    // Buffer flush: outside statements the complete lines are written.
    int OnFlush();
    // Back to a plain stream after the outermost statement.
    void ResetStream();
    // The local time of now. Without milliseconds the system time is read
    // again only when the tick count says the second may have changed.
    void Now(PrefixContext* context, bool milliseconds);
    // The expanded prefix of this line: the last one again when nothing it
    // shows has changed.
    const char* ExpandPrefix(const PrefixTemplate* prefix, const char* file, unsigned long line, const char* className,
                             int level);

    LineBuffer buffer;
    std::ostream stream;
    unsigned depth = 0;
    unsigned calls = 0;
    bool streamUsed = false;
    uint32_t marks[kMaxMarks];
    StackFrame frames[kMaxFrames];
    size_t frameCount = 0;     // may exceed kMaxFrames; the deeper ones are not kept
    uint32_t frameChanges = 0; // bumped with every scope that starts or ends
    CacheEntry cache[kCacheSize];
    char prefix[kPrefixSize];
    ThreadState* prev = nullptr;
    ThreadState* next = nullptr;

private:
    // Time: the local second last read and how long, by the tick count, it
    // surely lasts.
    bool m_timeValid = false;
    SYSTEMTIME m_local = {};
    DWORD m_timeTick = 0;
    DWORD m_timeSafeMs = 0;
    // The prefix last expanded and what it was made of.
    struct
    {
        const PrefixTemplate* prefix;
        const char* file;
        unsigned long line;
        const char* className;
        int level;
        uint32_t frameChanges;
        unsigned date; // yyyymmdd
        unsigned time; // hhmmss
        bool valid;
    } m_last = {};
};

extern DWORD g_tlsIndex;

inline TEB* ThisThreadBlock()
{
#if defined(__GNUC__) && defined(__i386__)
    // mingw's NtCurrentTeb makes GCC 12 report a false -Warray-bounds.
    TEB* teb;
    __asm__("movl %%fs:0x18, %0" : "=r"(teb));
    return teb;
#elif defined(__GNUC__) && defined(__x86_64__)
    TEB* teb;
    __asm__("movq %%gs:0x30, %0" : "=r"(teb));
    return teb;
#else
    return NtCurrentTeb();
#endif
}

// The calling thread's state, or null. Reads the slot from the thread block
// directly: TlsGetValue clears the thread's last-error value, which the
// statements must keep, and costs a call.
inline ThreadState* CurrentThreadState()
{
    const DWORD index = g_tlsIndex;
    if (index < 64)
        return static_cast<ThreadState*>(ThisThreadBlock()->TlsSlots[index]);
    if (index < 64 + 1024)
    {
        void** expansion = static_cast<void**>(ThisThreadBlock()->TlsExpansionSlots);
        return expansion ? static_cast<ThreadState*>(expansion[index - 64]) : nullptr;
    }
    return nullptr;
}

// Creates the calling thread's state (null when that fails).
ThreadState* CreateThreadState();
// Frees the calling thread's state at thread exit; pending complete text is
// written first.
void DestroyCurrentThreadState();
// At unload: frees every thread's state.
void DestroyAllThreadStates();

} // namespace qztrace
