#include "testing/harness/iat_hook.h"

#include <cstring>

namespace qztest
{

namespace
{

PIMAGE_NT_HEADERS NtHeaders(BYTE* base)
{
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

void WriteSlot(void** slot, void* value)
{
    DWORD oldProtect = 0;
    if (::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect))
    {
        *slot = value;
        ::VirtualProtect(slot, sizeof(void*), oldProtect, &oldProtect);
        ::FlushInstructionCache(::GetCurrentProcess(), slot, sizeof(void*));
    }
}

} // namespace

IatHook::IatHook(const char* dllName, const char* functionName, void* replacement)
{
    HMODULE dll = ::LoadLibraryA(dllName);
    void* target = dll != nullptr ? reinterpret_cast<void*>(::GetProcAddress(dll, functionName)) : nullptr;
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    PIMAGE_NT_HEADERS nt = NtHeaders(base);
    if (nt == nullptr)
        return;
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    for (auto* descriptor = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor)
    {
        const char* importedDll = reinterpret_cast<const char*>(base + descriptor->Name);
        const bool sameDll = ::lstrcmpiA(importedDll, dllName) == 0;
        auto* iat = reinterpret_cast<PIMAGE_THUNK_DATA>(base + descriptor->FirstThunk);
        auto* names = descriptor->OriginalFirstThunk != 0
                          ? reinterpret_cast<PIMAGE_THUNK_DATA>(base + descriptor->OriginalFirstThunk)
                          : nullptr;
        for (size_t i = 0; iat[i].u1.Function != 0; ++i)
        {
            void** slot = reinterpret_cast<void**>(&iat[i].u1.Function);
            bool match = target != nullptr && *slot == target;
            if (!match && sameDll && names != nullptr && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
            {
                auto* byName = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names[i].u1.AddressOfData);
                match = std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0;
            }
            if (match)
            {
                if (m_original == nullptr)
                    m_original = *slot;
                m_slots.push_back(slot);
            }
        }
    }
    for (void** slot : m_slots)
        WriteSlot(slot, replacement);
}

IatHook::~IatHook()
{
    for (void** slot : m_slots)
        WriteSlot(slot, m_original);
}

} // namespace qztest
