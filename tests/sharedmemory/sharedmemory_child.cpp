// Second process for the shared-memory suite: opens or creates a section by
// name with CqzSharedMemory and reports through its 32-bit exit code.
//
//   qz_sharedmemory_child verify <name>     Open read/write, check the parent's
//                                            pattern, write the answer pattern
//   qz_sharedmemory_child create <name>     Create (zero-fills), write a marker
//   qz_sharedmemory_child readonly <name>   Open read-only; the view must be
//                                            read-only
//   qz_sharedmemory_child tryopen <name>    TryOpen; exit with its error
//
// Exit codes: 0 done; kOpenFailed | error; kWrongRegion | region size;
// kWrongByte | offset; kWrongProtection | protection; kUsage.
#include "common/sharedmemory/sharedmemory.h"

#include "tests/sharedmemory/sharedmemory_pattern.h"

#include <cwchar>

namespace
{
constexpr DWORD kOpenFailed = 0xE0000000;
constexpr DWORD kWrongRegion = 0xE1000000;
constexpr DWORD kWrongByte = 0xE2000000;
constexpr DWORD kWrongProtection = 0xE3000000;
constexpr DWORD kUsage = 0xE4000000;

DWORD Verify(const wchar_t* name)
{
    CqzSharedMemory shm;
    BYTE* view = shm.Open(name, FILE_MAP_READ | FILE_MAP_WRITE);
    if (!view)
        return kOpenFailed | shm.GetError();
    const SIZE_T region = shm.GetRegionSize();
    if (region != QZ_CIC_SECTION_SIZE)
        return kWrongRegion | static_cast<DWORD>(region);
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
    {
        if (view[i] != qztest::ParentPattern(i))
            return kWrongByte | i;
    }
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
        view[i] = qztest::ChildPattern(i);
    return 0;
}

DWORD Create(const wchar_t* name)
{
    CqzSharedMemory shm;
    BYTE* view = shm.Create(name, nullptr);
    if (!view)
        return kOpenFailed | shm.GetError();
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
    {
        if (view[i] != 0)
            return kWrongByte | i;
    }
    std::memcpy(view, qztest::kChildMarker, sizeof(qztest::kChildMarker));
    return 0;
}

DWORD ReadOnly(const wchar_t* name)
{
    CqzSharedMemory shm;
    BYTE* view = shm.Open(name, FILE_MAP_READ);
    if (!view)
        return kOpenFailed | shm.GetError();
    MEMORY_BASIC_INFORMATION info = {};
    if (!::VirtualQuery(view, &info, sizeof(info)))
        return kWrongProtection;
    if (info.Protect != PAGE_READONLY)
        return kWrongProtection | info.Protect;
    return view[0] == qztest::ParentPattern(0) ? 0 : kWrongByte;
}

DWORD TryOpen(const wchar_t* name)
{
    CqzSharedMemory shm;
    DWORD error = 0xDEADBEEF;
    BYTE* view = shm.TryOpen(name, FILE_MAP_READ, error);
    return view ? 0 : error;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return static_cast<int>(kUsage);
    const wchar_t* mode = argv[1];
    const wchar_t* name = argv[2];
    DWORD result = kUsage;
    if (std::wcscmp(mode, L"verify") == 0)
        result = Verify(name);
    else if (std::wcscmp(mode, L"create") == 0)
        result = Create(name);
    else if (std::wcscmp(mode, L"readonly") == 0)
        result = ReadOnly(name);
    else if (std::wcscmp(mode, L"tryopen") == 0)
        result = TryOpen(name);
    return static_cast<int>(result);
}
