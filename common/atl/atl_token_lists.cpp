#include "common/atl/atl_token_lists.h"

#include <cstddef>
#include <cstring>
#include <new>

bool CTokenGroups::LoadFromTokenGroups(const TOKEN_GROUPS* groups, DWORD size)
{
    Clear();
    if (groups == nullptr || size < offsetof(TOKEN_GROUPS, Groups))
    {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    const DWORD count = groups->GroupCount;
    if (count > (size - offsetof(TOKEN_GROUPS, Groups)) / sizeof(SID_AND_ATTRIBUTES))
    {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    try
    {
        m_sids.reserve(count);
        m_attributes.reserve(count);
        for (DWORD i = 0; i < count; ++i)
        {
            m_sids.emplace_back(groups->Groups[i].Sid);
            m_attributes.push_back(groups->Groups[i].Attributes);
        }
    }
    catch (const std::bad_alloc&)
    {
        Clear();
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

bool CTokenGroups::Add(const CSid& sid, DWORD attributes)
{
    try
    {
        m_sids.push_back(sid);
        try
        {
            m_attributes.push_back(attributes);
        }
        catch (const std::bad_alloc&)
        {
            m_sids.pop_back();
            throw;
        }
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

void CTokenGroups::Clear()
{
    m_sids.clear();
    m_attributes.clear();
}

bool CTokenGroups::GetSidsAndAttributes(std::vector<CSid>* sids, std::vector<DWORD>* attributes) const
{
    try
    {
        if (sids != nullptr)
            *sids = m_sids;
        if (attributes != nullptr)
            *attributes = m_attributes;
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

bool CTokenPrivileges::LoadFromTokenPrivileges(const TOKEN_PRIVILEGES* privileges, DWORD size)
{
    Clear();
    if (privileges == nullptr || size < offsetof(TOKEN_PRIVILEGES, Privileges))
    {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    const DWORD count = privileges->PrivilegeCount;
    if (count > (size - offsetof(TOKEN_PRIVILEGES, Privileges)) / sizeof(LUID_AND_ATTRIBUTES))
    {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    try
    {
        m_privileges.assign(privileges->Privileges, privileges->Privileges + count);
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

bool CTokenPrivileges::Add(const LUID& luid, DWORD attributes)
{
    for (LUID_AND_ATTRIBUTES& entry : m_privileges)
    {
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart)
        {
            entry.Attributes = attributes;
            return true;
        }
    }
    try
    {
        m_privileges.push_back(LUID_AND_ATTRIBUTES{luid, attributes});
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

bool CTokenPrivileges::Add(const wchar_t* name, bool enable)
{
    LUID luid = {};
    if (name == nullptr || !::LookupPrivilegeValueW(nullptr, name, &luid))
        return false;
    return Add(luid, enable ? SE_PRIVILEGE_ENABLED : 0);
}

void CTokenPrivileges::Clear()
{
    m_privileges.clear();
}

bool CTokenPrivileges::LookupPrivilege(const LUID& luid, DWORD* attributes) const
{
    for (const LUID_AND_ATTRIBUTES& entry : m_privileges)
    {
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart)
        {
            if (attributes != nullptr)
                *attributes = entry.Attributes;
            return true;
        }
    }
    return false;
}

bool CTokenPrivileges::GetTokenPrivilegesBlock(std::vector<BYTE>& block) const
{
    const size_t count = m_privileges.size();
    try
    {
        block.assign(offsetof(TOKEN_PRIVILEGES, Privileges) + (count > 0 ? count : 1) * sizeof(LUID_AND_ATTRIBUTES), 0);
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(block.data());
    privileges->PrivilegeCount = static_cast<DWORD>(count);
    if (count > 0)
        std::memcpy(privileges->Privileges, m_privileges.data(), count * sizeof(LUID_AND_ATTRIBUTES));
    return true;
}
