#include <windows.h>
#include <sddl.h>

#include "trace/qztrace/sink.h"

#include <cstring>
#include <cwchar>
#include <memory>

#include "trace/qztrace/utf.h"

namespace qztrace
{

std::atomic<bool> g_sinkOpen{false};

namespace
{

// State shared by every process that writes one file, in a named mapping
// derived from the file's full path. A writer holds `owner` (its thread id)
// while it appends, so appends never interleave even where the file system
// does not make FILE_APPEND_DATA writes atomic, and rotation happens under it.
struct SharedFileState
{
    volatile LONG magic;
    volatile LONG owner;
    volatile LONG generation; // rotations so far
    volatile LONG reserved;
    volatile LONG64 size; // bytes in the current file
};

const LONG kMagic = 0x51545246; // set once the size has been read from the file
const DWORD kSharedSize = 4096;
const DWORD kLockGiveUpMs = 2000; // a writer stuck this long is written past
const DWORD kOwnerCheckMs = 100;

class Sink
{
public:
    Sink() = default;
    ~Sink()
    {
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
        if (view)
            ::UnmapViewOfFile(view);
        if (mapping)
            ::CloseHandle(mapping);
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    std::wstring path;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mapping = nullptr;
    void* view = nullptr;
    SharedFileState* shared = nullptr; // the view, or `local`
    SharedFileState local = {};
    LONG generation = 0;
    bool disk = false;
    LONG stuckOwner = 0; // a holder of the append lock that did not let go in time
};

SRWLOCK g_sinkLock = SRWLOCK_INIT; // guards g_sink and every use of its handle
Sink* g_sink = nullptr;
std::atomic<int> g_rotationFiles{0};
std::atomic<int> g_rotationBytes{0};
std::atomic<bool> g_exiting{false};

typedef BOOLEAN(WINAPI* ShutdownInProgressFn)();

bool ShutdownInProgress()
{
    if (g_exiting.load(std::memory_order_relaxed))
        return true;
    static ShutdownInProgressFn fn = []
    {
        ShutdownInProgressFn f = nullptr;
        if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll"))
        {
            FARPROC p = ::GetProcAddress(ntdll, "RtlDllShutdownInProgress");
            static_assert(sizeof p == sizeof f, "function pointer size");
            std::memcpy(&f, &p, sizeof f);
        }
        return f;
    }();
    return fn && fn();
}

class HandleHolder
{
public:
    explicit HandleHolder(HANDLE h) : m_h(h) {}
    ~HandleHolder()
    {
        if (m_h && m_h != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_h);
    }
    HandleHolder(const HandleHolder&) = delete;
    HandleHolder& operator=(const HandleHolder&) = delete;
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

class LocalHolder
{
public:
    LocalHolder() = default;
    ~LocalHolder()
    {
        if (m_p)
            ::LocalFree(m_p);
    }
    LocalHolder(const LocalHolder&) = delete;
    LocalHolder& operator=(const LocalHolder&) = delete;
    void** Out() { return &m_p; }
    void* Get() const { return m_p; }

private:
    void* m_p = nullptr;
};

bool ThreadAlive(DWORD tid)
{
    HandleHolder thread(::OpenThread(SYNCHRONIZE, FALSE, tid));
    if (!thread.Get())
        return ::GetLastError() != ERROR_INVALID_PARAMETER; // no such thread
    return ::WaitForSingleObject(thread.Get(), 0) != WAIT_OBJECT_0;
}

// Takes the file's append lock. False when it could not be had in time (the
// holder is alive but stuck, say in a debugger); the caller then writes
// without it, and while that holder keeps it, later writes do not wait again.
bool CrossLock(SharedFileState* s, LONG* stuckOwner)
{
    const LONG me = static_cast<LONG>(::GetCurrentThreadId());
    if (::InterlockedCompareExchange(&s->owner, me, 0) == 0)
    {
        *stuckOwner = 0;
        return true;
    }
    if (*stuckOwner != 0 && s->owner == *stuckOwner)
        return false;
    const ULONGLONG start = ::GetTickCount64();
    ULONGLONG lastCheck = start;
    for (unsigned i = 1;; ++i)
    {
        const LONG owner = s->owner;
        if (owner == 0)
        {
            if (::InterlockedCompareExchange(&s->owner, me, 0) == 0)
            {
                *stuckOwner = 0;
                return true;
            }
            continue;
        }
        if (i < 64)
            YieldProcessor();
        else if (i < 256)
            ::SwitchToThread();
        else
            ::Sleep(1);
        if (i < 256 && (i & 15) != 0)
            continue;
        const ULONGLONG now = ::GetTickCount64();
        if (now - lastCheck >= kOwnerCheckMs)
        {
            lastCheck = now;
            // A writer that died holding the lock (process killed) leaves it set.
            if (!ThreadAlive(static_cast<DWORD>(owner)) && ::InterlockedCompareExchange(&s->owner, me, owner) == owner)
            {
                *stuckOwner = 0;
                return true;
            }
        }
        if (now - start >= kLockGiveUpMs || ShutdownInProgress())
        {
            *stuckOwner = owner;
            return false;
        }
    }
}

void CrossUnlock(SharedFileState* s)
{
    ::InterlockedCompareExchange(&s->owner, 0, static_cast<LONG>(::GetCurrentThreadId()));
}

HANDLE OpenAppend(const std::wstring& path)
{
    // Appending only: every write lands at the end of the file. FILE_SHARE_DELETE
    // lets another writer rename the file while this handle is open.
    return ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix)
{
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

bool NormalisePath(const char* utf8, std::wstring* full)
{
    std::wstring wide;
    if (!utf8 || !Utf8ToWide(utf8, strlen(utf8), &wide) || wide.empty())
        return false;
    DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return false;
    std::wstring result(n, L'\0');
    n = ::GetFullPathNameW(wide.c_str(), n, &result[0], nullptr);
    if (n == 0 || n >= result.size())
        return false;
    result.resize(n);
    // Room for the rotation suffixes: long paths get the \\?\ form.
    if (result.size() >= MAX_PATH - 12 && !StartsWith(result, L"\\\\?\\") && !StartsWith(result, L"\\\\.\\"))
        result = StartsWith(result, L"\\\\") ? L"\\\\?\\UNC\\" + result.substr(2) : L"\\\\?\\" + result;
    *full = result;
    return true;
}

// Length of the part of a full path that is not a directory to create.
size_t RootLength(const std::wstring& p)
{
    auto skipComponents = [&p](size_t pos, int count)
    {
        while (count-- > 0 && pos < p.size())
        {
            const size_t slash = p.find(L'\\', pos);
            pos = slash == std::wstring::npos ? p.size() : slash + 1;
        }
        return pos;
    };
    if (StartsWith(p, L"\\\\?\\UNC\\"))
        return skipComponents(8, 2);
    if (StartsWith(p, L"\\\\?\\") || StartsWith(p, L"\\\\.\\"))
        return (p.size() > 5 && p[5] == L':') ? 7 : skipComponents(4, 1);
    if (StartsWith(p, L"\\\\"))
        return skipComponents(2, 2);
    return (p.size() > 2 && p[1] == L':') ? 3 : 0;
}

void CreateParentDirectories(const std::wstring& full)
{
    const size_t last = full.rfind(L'\\');
    if (last == std::wstring::npos)
        return;
    const std::wstring parent = full.substr(0, last);
    const DWORD attributes = ::GetFileAttributesW(parent.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return;
    for (size_t pos = RootLength(full); pos <= last; ++pos)
    {
        if (full[pos] == L'\\')
            ::CreateDirectoryW(full.substr(0, pos).c_str(), nullptr); // existing levels fail harmlessly
    }
}

std::wstring SharedName(const std::wstring& full)
{
    std::wstring upper = full;
    if (!upper.empty())
        ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, full.c_str(), static_cast<int>(full.size()), &upper[0],
                       static_cast<int>(upper.size()));
    unsigned long long hash = 1469598103934665603ULL; // FNV-1a
    for (wchar_t c : upper)
    {
        hash ^= static_cast<unsigned short>(c);
        hash *= 1099511628211ULL;
    }
    // Local\: the writers of one session share the state; user32's wsprintf
    // is not used so that the library stays off user32.
    std::wstring name = L"Local\\qztrace.file.";
    for (int shift = 60; shift >= 0; shift -= 4)
        name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    return name;
}

// The mapping is open to this user (elevated or not), SYSTEM and the
// administrators; with the default DACL an elevated writer would lock a
// non-elevated one of the same user out.
void AttachShared(Sink* sink)
{
    sink->shared = &sink->local;
    const std::wstring name = SharedName(sink->path);
    LocalHolder descriptor;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    {
        HANDLE token = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        {
            HandleHolder tokenHolder(token);
            union
            {
                TOKEN_USER user;
                BYTE bytes[512]; // room for the SID behind it
            } buffer;
            DWORD size = 0;
            LocalHolder sidText;
            if (::GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) &&
                ::ConvertSidToStringSidW(buffer.user.User.Sid, reinterpret_cast<LPWSTR*>(sidText.Out())))
            {
                const std::wstring sddl =
                    L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + std::wstring(static_cast<wchar_t*>(sidText.Get())) + L")";
                if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                           descriptor.Out(), nullptr))
                    sa.lpSecurityDescriptor = descriptor.Get();
            }
        }
    }
    HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, kSharedSize, name.c_str());
    if (!mapping)
        mapping = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
    if (!mapping)
        return; // this process alone then: still correct within it
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SharedFileState));
    if (!view)
    {
        ::CloseHandle(mapping);
        return;
    }
    sink->mapping = mapping;
    sink->view = view;
    sink->shared = static_cast<SharedFileState*>(view);
}

std::wstring Numbered(const std::wstring& path, int n)
{
    return path + L"." + std::to_wstring(n);
}

// name.(N-1) -> name.N ... name -> name.1; the old name.N goes. Other writers'
// handles stay valid: they were opened with FILE_SHARE_DELETE.
bool RotateChain(const std::wstring& path, int files)
{
    const std::wstring oldest = Numbered(path, files);
    if (::GetFileAttributesW(oldest.c_str()) != INVALID_FILE_ATTRIBUTES)
    {
        // An open file that is deleted keeps its name until its last handle
        // closes; renamed first, it frees the name at once.
        const std::wstring doomed = oldest + L"." + std::to_wstring(::GetCurrentThreadId()) + L"." +
                                    std::to_wstring(::GetTickCount()) + L".deleted";
        if (::MoveFileExW(oldest.c_str(), doomed.c_str(), 0))
            ::DeleteFileW(doomed.c_str());
        else
            ::DeleteFileW(oldest.c_str());
    }
    for (int i = files - 1; i >= 1; --i)
        ::MoveFileExW(Numbered(path, i).c_str(), Numbered(path, i + 1).c_str(), MOVEFILE_REPLACE_EXISTING);
    return ::MoveFileExW(path.c_str(), Numbered(path, 1).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Both locks held.
void Reopen(Sink* s)
{
    if (s->file != INVALID_HANDLE_VALUE)
        ::CloseHandle(s->file);
    s->generation = s->shared->generation;
    s->file = OpenAppend(s->path);
}

void WriteAll(HANDLE file, const char* data, size_t length)
{
    while (length > 0)
    {
        const DWORD chunk = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return;
        data += written;
        length -= written;
    }
}

// g_sinkLock held exclusively.
void WriteLocked(Sink* s, const char* data, size_t length)
{
    SharedFileState* shared = s->shared;
    const bool locked = CrossLock(shared, &s->stuckOwner);
    if (shared->generation != s->generation || s->file == INVALID_HANDLE_VALUE)
        Reopen(s); // another writer rotated the file
    if (s->file != INVALID_HANDLE_VALUE)
    {
        WriteAll(s->file, data, length);
        const LONG64 size =
            ::InterlockedExchangeAdd64(&shared->size, static_cast<LONG64>(length)) + static_cast<LONG64>(length);
        const int files = g_rotationFiles.load(std::memory_order_relaxed);
        const int bytes = g_rotationBytes.load(std::memory_order_relaxed);
        if (locked && s->disk && files > 0 && bytes > 0 && size >= bytes)
        {
            if (RotateChain(s->path, files))
            {
                ::InterlockedIncrement(&shared->generation);
                Reopen(s);
            }
            // After a failed rename (a handle without FILE_SHARE_DELETE) the
            // file grows on and the next attempt waits another bytesPerFile.
            ::InterlockedExchange64(&shared->size, 0);
        }
    }
    if (locked)
        CrossUnlock(shared);
}

bool AcquireSinkLock()
{
    if (::TryAcquireSRWLockExclusive(&g_sinkLock))
        return true;
    // At exit a thread killed while holding the lock would hang the process.
    if (ShutdownInProgress())
        return false;
    ::AcquireSRWLockExclusive(&g_sinkLock);
    return true;
}

void Replace(Sink* sink)
{
    Sink* old = nullptr;
    ::AcquireSRWLockExclusive(&g_sinkLock);
    old = g_sink;
    g_sink = sink;
    g_sinkOpen.store(sink != nullptr, std::memory_order_release);
    ::ReleaseSRWLockExclusive(&g_sinkLock);
    delete old;
}

std::string ErrorText(const char* what, DWORD error)
{
    return what + std::string(" (error ") + std::to_string(error) + ")";
}

} // namespace

bool SinkOpen(const char* utf8Path, bool append, std::string* error)
{
    std::wstring full;
    if (!NormalisePath(utf8Path, &full))
    {
        Replace(nullptr);
        *error = "not a valid path";
        return false;
    }
    ::AcquireSRWLockExclusive(&g_sinkLock);
    const bool same = g_sink && g_sink->path == full && g_sink->file != INVALID_HANDLE_VALUE;
    ::ReleaseSRWLockExclusive(&g_sinkLock);
    if (same)
        return true;

    std::unique_ptr<Sink> sink(new Sink);
    sink->path = full;
    CreateParentDirectories(full);
    AttachShared(sink.get());
    SharedFileState* shared = sink->shared;
    const bool locked = CrossLock(shared, &sink->stuckOwner);
    DWORD openError = 0;
    if (!append)
    {
        HANDLE truncate =
            ::CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (truncate != INVALID_HANDLE_VALUE)
        {
            ::CloseHandle(truncate);
            ::InterlockedExchange64(&shared->size, 0);
        }
    }
    sink->file = OpenAppend(full);
    if (sink->file == INVALID_HANDLE_VALUE)
    {
        openError = ::GetLastError();
    }
    else
    {
        sink->disk = ::GetFileType(sink->file) == FILE_TYPE_DISK;
        if (shared->magic != kMagic)
        {
            LARGE_INTEGER size = {};
            if (sink->disk && ::GetFileSizeEx(sink->file, &size))
                ::InterlockedExchange64(&shared->size, size.QuadPart);
            ::InterlockedExchange(&shared->magic, kMagic);
        }
        sink->generation = shared->generation;
    }
    if (locked)
        CrossUnlock(shared);
    if (sink->file == INVALID_HANDLE_VALUE)
    {
        Replace(nullptr);
        *error = ErrorText("cannot be opened", openError);
        return false;
    }
    Replace(sink.release());
    return true;
}

void SinkClose()
{
    Replace(nullptr);
}

void SinkWrite(const char* data, size_t length)
{
    if (length == 0 || !g_sinkOpen.load(std::memory_order_acquire))
        return;
    if (!AcquireSinkLock())
        return;
    if (g_sink)
        WriteLocked(g_sink, data, length);
    ::ReleaseSRWLockExclusive(&g_sinkLock);
}

void SinkSetRotation(int filesKept, int bytesPerFile)
{
    if (filesKept <= 0 || bytesPerFile <= 0)
        filesKept = bytesPerFile = 0;
    if (filesKept > 9999)
        filesKept = 9999;
    g_rotationFiles.store(filesKept, std::memory_order_relaxed);
    g_rotationBytes.store(bytesPerFile, std::memory_order_relaxed);
}

void SinkProcessExiting()
{
    g_exiting.store(true, std::memory_order_relaxed);
}

} // namespace qztrace
