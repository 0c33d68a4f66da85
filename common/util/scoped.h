// Owners for system resources: one small holder per kind, each releasing its
// resource with the system's own function on every path. Closing keeps the
// caller's last-error value, so a holder going out of scope between a failing
// call and the GetLastError() that reads it changes nothing.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <utility>

template <class Traits>
class CqzScoped
{
public:
    using Type = typename Traits::Type;

    CqzScoped() = default;
    explicit CqzScoped(Type value) : m_value(value) {}
    ~CqzScoped() { Reset(); }
    CqzScoped(CqzScoped&& other) noexcept : m_value(other.Release()) {}
    CqzScoped& operator=(CqzScoped&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CqzScoped(const CqzScoped&) = delete;
    CqzScoped& operator=(const CqzScoped&) = delete;

    Type Get() const { return m_value; }
    bool IsValid() const { return Traits::IsValid(m_value); }
    explicit operator bool() const { return IsValid(); }

    // For out-parameters: releases what is held and hands out the slot.
    Type* Receive()
    {
        Reset();
        return &m_value;
    }

    Type Release()
    {
        Type value = m_value;
        m_value = Traits::Empty();
        return value;
    }

    void Reset(Type value = Traits::Empty())
    {
        if (Traits::IsValid(m_value))
        {
            const DWORD lastError = ::GetLastError();
            Traits::Close(m_value);
            ::SetLastError(lastError);
        }
        m_value = value;
    }

private:
    Type m_value = Traits::Empty();
};

struct CqzKernelHandleTraits
{
    using Type = HANDLE;
    static HANDLE Empty() { return nullptr; }
    // Both empty values of the system's handle functions count as empty.
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct CqzRegKeyTraits
{
    using Type = HKEY;
    static HKEY Empty() { return nullptr; }
    static bool IsValid(HKEY key) { return key != nullptr; }
    static void Close(HKEY key) { ::RegCloseKey(key); }
};

struct CqzLibraryTraits
{
    using Type = HMODULE;
    static HMODULE Empty() { return nullptr; }
    static bool IsValid(HMODULE module) { return module != nullptr; }
    static void Close(HMODULE module) { ::FreeLibrary(module); }
};

struct CqzServiceHandleTraits
{
    using Type = SC_HANDLE;
    static SC_HANDLE Empty() { return nullptr; }
    static bool IsValid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};

// Memory the system handed out with LocalAlloc (FormatMessage, SID strings,
// CommandLineToArgvW).
struct CqzLocalMemoryTraits
{
    using Type = HLOCAL;
    static HLOCAL Empty() { return nullptr; }
    static bool IsValid(HLOCAL p) { return p != nullptr; }
    static void Close(HLOCAL p) { ::LocalFree(p); }
};

using CqzScopedHandle = CqzScoped<CqzKernelHandleTraits>;
using CqzScopedRegKey = CqzScoped<CqzRegKeyTraits>;
using CqzScopedLibrary = CqzScoped<CqzLibraryTraits>;
using CqzScopedServiceHandle = CqzScoped<CqzServiceHandleTraits>;

// A view of a file mapping, unmapped with UnmapViewOfFile.
struct CqzMappedViewTraits
{
    using Type = BYTE*;
    static BYTE* Empty() { return nullptr; }
    static bool IsValid(BYTE* view) { return view != nullptr; }
    static void Close(BYTE* view) { ::UnmapViewOfFile(view); }
};
using CqzScopedMappedView = CqzScoped<CqzMappedViewTraits>;

// Memory from the C heap (malloc), freed with free().
struct CqzHeapMemoryTraits
{
    using Type = void*;
    static void* Empty() { return nullptr; }
    static bool IsValid(void* p) { return p != nullptr; }
    static void Close(void* p) { std::free(p); }
};

// A block of memory seen as T*, released by the holder's traits.
// Receive() fits out-parameters such as those of ConvertSidToStringSidW.
template <class T, class Traits>
class CqzScopedBlock
{
public:
    CqzScopedBlock() = default;
    explicit CqzScopedBlock(T* p) : m_holder(p) {}
    T* Get() const { return static_cast<T*>(m_holder.Get()); }
    T** Receive() { return reinterpret_cast<T**>(m_holder.Receive()); }
    T* Release() { return static_cast<T*>(m_holder.Release()); }
    void Reset(T* p = nullptr) { m_holder.Reset(p); }
    bool IsValid() const { return m_holder.IsValid(); }
    explicit operator bool() const { return m_holder.IsValid(); }

private:
    CqzScoped<Traits> m_holder;
};

// LocalAlloc'ed memory (the system's own allocations) and malloc'ed memory.
template <class T>
using CqzScopedLocal = CqzScopedBlock<T, CqzLocalMemoryTraits>;
template <class T>
using CqzScopedHeap = CqzScopedBlock<T, CqzHeapMemoryTraits>;

// A lock held for the lifetime of the object; Traits says how to take and
// give back one kind of lock.
template <class Traits>
class CqzScopedLock
{
public:
    using Lock = typename Traits::Lock;

    explicit CqzScopedLock(Lock& lock) : m_lock(lock) { Traits::Acquire(m_lock); }
    ~CqzScopedLock() { Traits::Release(m_lock); }
    CqzScopedLock(const CqzScopedLock&) = delete;
    CqzScopedLock& operator=(const CqzScopedLock&) = delete;

private:
    Lock& m_lock;
};

struct CqzCriticalSectionTraits
{
    using Lock = CRITICAL_SECTION;
    static void Acquire(CRITICAL_SECTION& cs) { ::EnterCriticalSection(&cs); }
    static void Release(CRITICAL_SECTION& cs) { ::LeaveCriticalSection(&cs); }
};

// Slim reader/writer locks, taken exclusively (writers) or shared (readers).
struct CqzSrwExclusiveTraits
{
    using Lock = SRWLOCK;
    static void Acquire(SRWLOCK& lock) { ::AcquireSRWLockExclusive(&lock); }
    static void Release(SRWLOCK& lock) { ::ReleaseSRWLockExclusive(&lock); }
};

struct CqzSrwSharedTraits
{
    using Lock = SRWLOCK;
    static void Acquire(SRWLOCK& lock) { ::AcquireSRWLockShared(&lock); }
    static void Release(SRWLOCK& lock) { ::ReleaseSRWLockShared(&lock); }
};

using CqzCriticalSectionLock = CqzScopedLock<CqzCriticalSectionTraits>;
using CqzSrwExclusiveLock = CqzScopedLock<CqzSrwExclusiveTraits>;
using CqzSrwSharedLock = CqzScopedLock<CqzSrwSharedTraits>;
