// CHandle: owner of one kernel handle, closed with CloseHandle.
#pragma once

#include <windows.h>

class CHandle
{
public:
    CHandle() = default;
    explicit CHandle(HANDLE h) : m_h(h) {}
    ~CHandle() { Close(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_h(other.Detach()) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }

    // Takes ownership of h, closing what the object held before.
    void Attach(HANDLE h)
    {
        Close();
        m_h = h;
    }
    // Gives up ownership without closing.
    HANDLE Detach()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    // Closes the handle; keeps the caller's last error. NULL and
    // INVALID_HANDLE_VALUE are empty and are only forgotten.
    void Close()
    {
        if (m_h != nullptr && m_h != INVALID_HANDLE_VALUE)
        {
            const DWORD lastError = ::GetLastError();
            ::CloseHandle(m_h);
            ::SetLastError(lastError);
        }
        m_h = nullptr;
    }
    operator HANDLE() const { return m_h; }

    HANDLE m_h = nullptr;
};
