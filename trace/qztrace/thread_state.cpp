#include "trace/qztrace/thread_state.h"

#include <cstring>
#include <locale>
#include <new>

#include "trace/qztrace/rules.h"
#include "trace/qztrace/sink.h"

namespace qztrace
{

DWORD g_tlsIndex = TLS_OUT_OF_INDEXES;

namespace
{
SRWLOCK g_statesLock = SRWLOCK_INIT;
ThreadState* g_states = nullptr; // every live state, for unload
} // namespace

LineBuffer::~LineBuffer()
{
    delete[] m_data;
}

bool LineBuffer::Grow(size_t needed)
{
    const size_t length = Length();
    if (m_capacity >= kMaxLine + kSpare || needed <= m_capacity - (m_capacity ? kSpare : 0))
        return false;
    size_t capacity = m_capacity ? m_capacity * 2 : 256;
    while (capacity < needed + kSpare)
        capacity *= 2;
    if (capacity > kMaxLine + kSpare)
        capacity = kMaxLine + kSpare;
    char* data = new (std::nothrow) char[capacity];
    if (!data)
        return false;
    if (length)
        std::memcpy(data, m_data, length);
    delete[] m_data;
    m_data = data;
    m_capacity = capacity;
    setp(m_data, m_data + m_capacity - kSpare);
    pbump(static_cast<int>(length));
    return true;
}

void LineBuffer::Truncate(size_t length)
{
    if (length >= Length())
        return;
    setp(pbase(), epptr());
    pbump(static_cast<int>(length));
    if (length == 0)
        m_cut = false;
}

size_t LineBuffer::MarkCut()
{
    char* end = pptr();
    if (m_cut && end && (end == pbase() || end[-1] != '\n'))
    {
        std::memcpy(end, "...\n", 4); // into the spare bytes behind epptr
        m_cut = false;
        return Length() + 4;
    }
    m_cut = false;
    return Length();
}

LineBuffer::int_type LineBuffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    if (pptr() == epptr() && !Grow(Length() + 1))
    {
        m_cut = true;
        return c; // dropped, but the stream stays good
    }
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

std::streamsize LineBuffer::xsputn(const char* s, std::streamsize n)
{
    if (n <= 0)
        return 0;
    size_t count = static_cast<size_t>(n);
    size_t room = static_cast<size_t>(epptr() - pptr());
    if (count > room)
    {
        Grow(Length() + count);
        room = static_cast<size_t>(epptr() - pptr());
        if (count > room)
        {
            m_cut = true;
            count = room;
        }
    }
    if (count)
    {
        std::memcpy(pptr(), s, count);
        pbump(static_cast<int>(count));
    }
    return n;
}

int LineBuffer::sync()
{
    return m_owner->OnFlush();
}

ThreadState::ThreadState() : buffer(this), stream(&buffer)
{
    // Numbers look the same whatever global locale the host sets.
    stream.imbue(std::locale::classic());
    std::memset(cache, 0, sizeof cache);
    prefix[0] = '\0';
}

void ThreadState::Commit(size_t mark)
{
    size_t end = buffer.Length();
    if (buffer.Cut())
        end = buffer.MarkCut();
    if (end > mark)
        SinkWrite(buffer.Data() + mark, end - mark);
    buffer.Truncate(mark);
}

int ThreadState::OnFlush()
{
    // Inside a statement the text waits for Leave, so that no file ever holds
    // part of a line.
    if (depth != 0)
        return 0;
    const char* data = buffer.Data();
    size_t length = buffer.Length();
    while (length > 0 && data[length - 1] != '\n')
        --length;
    if (length == 0)
        return 0;
    const size_t rest = buffer.Length() - length;
    const DWORD lastError = ::GetLastError();
    SinkWrite(data, length);
    ::SetLastError(lastError);
    if (rest)
        std::memmove(const_cast<char*>(data), data + length, rest);
    buffer.Truncate(rest);
    return 0;
}

void ThreadState::ResetStream()
{
    stream.clear();
    stream.flags(std::ios_base::dec | std::ios_base::skipws);
    stream.width(0);
    stream.precision(6);
    stream.fill(' ');
    streamUsed = false;
}

void ThreadState::Now(PrefixContext* c, bool milliseconds)
{
    // Reading the system time costs far more than a line's other fields under
    // some hosts; the tick count is read from shared memory. It moves in steps
    // of up to 16 ms, hence the margin.
    const DWORD kMarginMs = 50;
    const DWORD tick = ::GetTickCount();
    if (milliseconds || !m_timeValid || tick - m_timeTick >= m_timeSafeMs)
    {
        FILETIME now;
        FILETIME local;
        SYSTEMTIME st;
        ::GetSystemTimeAsFileTime(&now);
        if (::FileTimeToLocalFileTime(&now, &local) && ::FileTimeToSystemTime(&local, &st))
        {
            m_local = st;
            m_timeTick = tick;
            const DWORD left = 1000u - st.wMilliseconds;
            m_timeSafeMs = left > kMarginMs ? left - kMarginMs : 0;
            m_timeValid = true;
        }
    }
    c->year = m_local.wYear;
    c->month = m_local.wMonth;
    c->day = m_local.wDay;
    c->hour = m_local.wHour;
    c->minute = m_local.wMinute;
    c->second = m_local.wSecond;
    c->msec = m_local.wMilliseconds;
}

const char* ThreadState::ExpandPrefix(const PrefixTemplate* t, const char* file, unsigned long line,
                                      const char* className, int level)
{
    PrefixContext c;
    if (t->NeedsTime())
        Now(&c, t->NeedsMilliseconds());
    const unsigned date = c.year * 10000 + c.month * 100 + c.day;
    const unsigned time = c.hour * 10000 + c.minute * 100 + c.second;
    if (m_last.valid && !t->NeedsMilliseconds() && m_last.prefix == t && m_last.file == file && m_last.line == line &&
        m_last.className == className && m_last.level == level && m_last.frameChanges == frameChanges &&
        m_last.date == date && m_last.time == time)
        return prefix;
    c.pid = ::GetCurrentProcessId();
    c.tid = ::GetCurrentThreadId();
    c.className = className;
    c.file = file;
    c.line = line;
    c.level = level;
    c.levelName = LevelName(level);
    c.frames = frames;
    c.totalFrames = frameCount;
    c.storedFrames = frameCount < kMaxFrames ? frameCount : kMaxFrames;
    t->Expand(c, prefix, sizeof prefix);
    m_last.prefix = t;
    m_last.file = file;
    m_last.line = line;
    m_last.className = className;
    m_last.level = level;
    m_last.frameChanges = frameChanges;
    m_last.date = date;
    m_last.time = time;
    m_last.valid = true;
    return prefix;
}

ThreadState* CreateThreadState()
{
    if (g_tlsIndex == TLS_OUT_OF_INDEXES)
        return nullptr;
    ThreadState* state = nullptr;
    try
    {
        state = new ThreadState;
    }
    catch (...)
    {
        return nullptr;
    }
    if (!::TlsSetValue(g_tlsIndex, state))
    {
        delete state;
        return nullptr;
    }
    ::AcquireSRWLockExclusive(&g_statesLock);
    state->next = g_states;
    if (g_states)
        g_states->prev = state;
    g_states = state;
    ::ReleaseSRWLockExclusive(&g_statesLock);
    return state;
}

namespace
{
void Unlink(ThreadState* state)
{
    if (state->prev)
        state->prev->next = state->next;
    else
        g_states = state->next;
    if (state->next)
        state->next->prev = state->prev;
}
} // namespace

void DestroyCurrentThreadState()
{
    ThreadState* state = CurrentThreadState();
    if (!state)
        return;
    ::TlsSetValue(g_tlsIndex, nullptr);
    try
    {
        if (state->depth == 0)
        {
            state->OnFlush();
            if (state->buffer.Length())
            {
                state->stream << '\n';
                state->OnFlush();
            }
        }
    }
    catch (...)
    {
    }
    ::AcquireSRWLockExclusive(&g_statesLock);
    Unlink(state);
    ::ReleaseSRWLockExclusive(&g_statesLock);
    delete state;
}

void DestroyAllThreadStates()
{
    ::AcquireSRWLockExclusive(&g_statesLock);
    while (g_states)
    {
        ThreadState* state = g_states;
        Unlink(state);
        delete state;
    }
    ::ReleaseSRWLockExclusive(&g_statesLock);
}

} // namespace qztrace
