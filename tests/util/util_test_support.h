// Helpers of the util and launcher suites: the process user's SID string read
// with plain advapi32 (an oracle independent of the code under test) and a
// guard that saves the agent service key and puts it back.
#pragma once

#include "testing/harness/harness.h"

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace qztest_util
{

// String form of the process token's user SID; empty when it cannot be read.
inline std::wstring ProcessUserSidString()
{
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken))
        return std::wstring();
    qztest::ScopedHandle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size))
        return std::wstring();
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return std::wstring();
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// Saves HKLM\<agent service key> with its whole tree on construction (into a
// private key under HKCU) and restores it on destruction; a key that did not
// exist is removed again. Suites that use it hold the agent_service_key lock.
class AgentServiceKeyBackup
{
public:
    AgentServiceKeyBackup()
        : m_backupKey(L"Software\\QzTests\\AgentServiceKeyBackup-" + std::to_wstring(::GetCurrentProcessId()))
    {
        HKEY service = nullptr;
        m_existed =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, 0, KEY_READ, &service) == ERROR_SUCCESS;
        if (!m_existed)
            return;
        HKEY backup = nullptr;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, m_backupKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &backup,
                              nullptr) == ERROR_SUCCESS)
        {
            m_saved = ::RegCopyTreeW(service, nullptr, backup) == ERROR_SUCCESS;
            ::RegCloseKey(backup);
        }
        ::RegCloseKey(service);
    }

    ~AgentServiceKeyBackup()
    {
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey);
        if (!m_existed || !m_saved)
            return;
        HKEY service = nullptr;
        HKEY backup = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &service, nullptr) == ERROR_SUCCESS)
        {
            if (::RegOpenKeyExW(HKEY_CURRENT_USER, m_backupKey.c_str(), 0, KEY_READ, &backup) == ERROR_SUCCESS)
            {
                ::RegCopyTreeW(backup, nullptr, service);
                ::RegCloseKey(backup);
            }
            ::RegCloseKey(service);
        }
        qztest::DeleteRegTree(HKEY_CURRENT_USER, m_backupKey);
    }

    AgentServiceKeyBackup(const AgentServiceKeyBackup&) = delete;
    AgentServiceKeyBackup& operator=(const AgentServiceKeyBackup&) = delete;

    // False when an existing key could not be saved: a suite must not go on
    // and overwrite it.
    bool Ok() const { return !m_existed || m_saved; }

private:
    std::wstring m_backupKey;
    bool m_existed = false;
    bool m_saved = false;
};

} // namespace qztest_util
