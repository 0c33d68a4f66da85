// Inputs that end exactly where a PAGE_NOACCESS page begins: a reader that
// looks one byte past the end of its input faults instead of reading garbage.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace qztest
{

class GuardedBytes
{
public:
    // dataPages readable/writable pages followed by one guard page.
    explicit GuardedBytes(DWORD dataPages = 1)
    {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        m_capacity = dataPages * info.dwPageSize;
        m_base = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, m_capacity + info.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD oldProtect = 0;
        if (m_base && !::VirtualProtect(m_base + m_capacity, info.dwPageSize, PAGE_NOACCESS, &oldProtect))
        {
            ::VirtualFree(m_base, 0, MEM_RELEASE);
            m_base = nullptr;
        }
    }
    ~GuardedBytes()
    {
        if (m_base)
            ::VirtualFree(m_base, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    bool Ready() const { return m_base != nullptr; }
    DWORD Capacity() const { return m_capacity; }
    // First byte of the guard page.
    const BYTE* End() const { return m_base + m_capacity; }

    // Copies size bytes so that they end at the guard page; returns their start.
    const BYTE* Place(const void* data, DWORD size)
    {
        BYTE* start = m_base + m_capacity - size;
        if (size)
            std::memcpy(start, data, size);
        return start;
    }
    const BYTE* Place(const std::vector<BYTE>& bytes) { return Place(bytes.data(), static_cast<DWORD>(bytes.size())); }

private:
    BYTE* m_base = nullptr;
    DWORD m_capacity = 0;
};

// While one lives, an access violation first prints the input last named
// with Name() to stderr, so that a reader that faults names what it was given
// before the process dies.
class FaultNote
{
public:
    FaultNote() : m_handler(::AddVectoredExceptionHandler(1, Report)) {}
    ~FaultNote()
    {
        if (m_handler)
            ::RemoveVectoredExceptionHandler(m_handler);
    }
    FaultNote(const FaultNote&) = delete;
    FaultNote& operator=(const FaultNote&) = delete;

    static void Name(unsigned seed, unsigned iteration)
    {
        s_seed = seed;
        s_iteration = iteration;
    }

private:
    static LONG CALLBACK Report(EXCEPTION_POINTERS* info)
    {
        if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        {
            std::fprintf(stderr, "access violation at %p: seed %u, iteration %u\n",
                         info->ExceptionRecord->ExceptionAddress, s_seed, s_iteration);
            std::fflush(stderr);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    static inline volatile unsigned s_seed = 0;
    static inline volatile unsigned s_iteration = 0;
    PVOID m_handler;
};

} // namespace qztest
