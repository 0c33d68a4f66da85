#include "tests/claims/claims_support.h"

#include <sddl.h>

#include <memory>

#include <gtest/gtest.h>

#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

namespace qzclaimstest
{
namespace
{
typedef void*(__cdecl* MallocFn)(size_t);
typedef void*(__cdecl* CallocFn)(size_t, size_t);
typedef void*(__cdecl* ReallocFn)(void*, size_t);
typedef void(__cdecl* FreeFn)(void*);

// Fixed storage: the ledger must not allocate while it counts.
const size_t kSlots = 1 << 16;
struct LedgerState
{
    void* live[kSlots];
    size_t liveCount;
    size_t allocations;
    size_t foreignFrees;
    bool overflowed;
    bool counting;
    MallocFn malloc;
    CallocFn calloc;
    ReallocFn realloc;
    FreeFn free;
};
LedgerState g_ledger;

void Remember(void* block)
{
    ++g_ledger.allocations;
    if (g_ledger.liveCount == kSlots)
    {
        g_ledger.overflowed = true;
        return;
    }
    g_ledger.live[g_ledger.liveCount++] = block;
}

// Whether the block was one of the ledger's (it is forgotten then).
bool Forget(void* block)
{
    for (size_t i = g_ledger.liveCount; i-- > 0;)
    {
        if (g_ledger.live[i] == block)
        {
            g_ledger.live[i] = g_ledger.live[--g_ledger.liveCount];
            return true;
        }
    }
    return false;
}

void* __cdecl CountingMalloc(size_t bytes)
{
    void* block = g_ledger.malloc(bytes);
    if (block != nullptr && g_ledger.counting)
        Remember(block);
    return block;
}

void* __cdecl CountingCalloc(size_t count, size_t size)
{
    void* block = g_ledger.calloc(count, size);
    if (block != nullptr && g_ledger.counting)
        Remember(block);
    return block;
}

void* __cdecl CountingRealloc(void* block, size_t bytes)
{
    if (block != nullptr && g_ledger.counting && !Forget(block))
        ++g_ledger.foreignFrees;
    void* moved = g_ledger.realloc(block, bytes);
    if (moved != nullptr && g_ledger.counting)
        Remember(moved);
    return moved;
}

void __cdecl CountingFree(void* block)
{
    if (block != nullptr && g_ledger.counting && !Forget(block))
        ++g_ledger.foreignFrees;
    g_ledger.free(block);
}

struct LedgerHooks
{
    qztest::IatHook malloc{"msvcrt.dll", "malloc", reinterpret_cast<void*>(&CountingMalloc)};
    qztest::IatHook calloc{"msvcrt.dll", "calloc", reinterpret_cast<void*>(&CountingCalloc)};
    qztest::IatHook realloc{"msvcrt.dll", "realloc", reinterpret_cast<void*>(&CountingRealloc)};
    qztest::IatHook free{"msvcrt.dll", "free", reinterpret_cast<void*>(&CountingFree)};
};
std::unique_ptr<LedgerHooks> g_hooks;
} // namespace

HeapLedger::HeapLedger()
{
    g_ledger.liveCount = 0;
    g_ledger.allocations = 0;
    g_ledger.foreignFrees = 0;
    g_ledger.overflowed = false;
    g_ledger.counting = false;
    // The originals are known before any replacement can be called.
    g_ledger.malloc = &::malloc;
    g_ledger.calloc = &::calloc;
    g_ledger.realloc = &::realloc;
    g_ledger.free = &::free;
    g_hooks = std::make_unique<LedgerHooks>();
    if (g_hooks->malloc.Installed())
        g_ledger.malloc = g_hooks->malloc.OriginalAs<MallocFn>();
    if (g_hooks->calloc.Installed())
        g_ledger.calloc = g_hooks->calloc.OriginalAs<CallocFn>();
    if (g_hooks->realloc.Installed())
        g_ledger.realloc = g_hooks->realloc.OriginalAs<ReallocFn>();
    if (g_hooks->free.Installed())
        g_ledger.free = g_hooks->free.OriginalAs<FreeFn>();
    g_ledger.counting = true;
}

HeapLedger::~HeapLedger()
{
    g_ledger.counting = false;
    g_hooks.reset();
}

bool HeapLedger::Installed() const
{
    return g_hooks && g_hooks->malloc.Installed() && g_hooks->calloc.Installed() && g_hooks->free.Installed();
}

size_t HeapLedger::Live() const
{
    return g_ledger.liveCount;
}

size_t HeapLedger::Allocations() const
{
    return g_ledger.allocations;
}

size_t HeapLedger::ForeignFrees() const
{
    return g_ledger.foreignFrees;
}

bool HeapLedger::Overflowed() const
{
    return g_ledger.overflowed;
}

std::vector<std::wstring> DumpLines(const CqzTokenSecurityAttributes& set)
{
    CqzStringTextSink sink;
    set.Dump(sink);
    std::vector<std::wstring> lines;
    std::string problem;
    EXPECT_TRUE(qztest::SplitCrLfLines(sink.Text(), lines, &problem)) << problem;
    return lines;
}

UNICODE_STRING Counted(const wchar_t* text)
{
    return Counted(text, text == nullptr ? 0 : std::wcslen(text));
}

UNICODE_STRING Counted(const wchar_t* text, size_t chars)
{
    UNICODE_STRING counted = {};
    counted.Buffer = const_cast<PWSTR>(text);
    counted.Length = static_cast<USHORT>(chars * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    return counted;
}

std::vector<BYTE> SidBytes(const wchar_t* sidString)
{
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(sidString, &sid))
        return std::vector<BYTE>();
    const BYTE* first = static_cast<const BYTE*>(sid);
    std::vector<BYTE> bytes(first, first + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return bytes;
}

} // namespace qzclaimstest
