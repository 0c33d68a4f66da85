// Import-table hooks: the test suites' one seam for states Wine cannot
// produce (a call that fails, a system value that is not there). Product code
// carries no hooks of its own; a suite replaces the executable's import of a
// system function instead, and the product code linked into the suite (our
// static libraries) calls the replacement.
#pragma once

#include <windows.h>

#include <vector>

namespace qztest
{

// Replaces one imported function in the main executable's import table while
// the object lives. Only calls made from code linked into the executable
// (our static libraries included) go through that table, so the hook is
// invisible to the system's own DLLs. Every slot that holds the function is
// replaced: the named import of dllName and any other import that resolved to
// the same address (a forwarder's other name). Install hooks before starting
// threads, and remove them in the reverse order of installing.
class IatHook
{
public:
    IatHook(const char* dllName, const char* functionName, void* replacement);
    ~IatHook();
    IatHook(const IatHook&) = delete;
    IatHook& operator=(const IatHook&) = delete;

    bool Installed() const { return !m_slots.empty(); }
    // The function the table held before.
    void* Original() const { return m_original; }
    template <typename Function>
    Function OriginalAs() const
    {
        return reinterpret_cast<Function>(m_original);
    }

private:
    std::vector<void**> m_slots;
    void* m_original = nullptr;
};

} // namespace qztest
