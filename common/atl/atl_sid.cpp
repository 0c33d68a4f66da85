#include "common/atl/atl_sid.h"

#include <sddl.h>

#include <cstring>
#include <new>

#include "common/util/scoped.h"

CSid::CSid(PSID sid)
{
    LoadAccount(sid);
}

bool CSid::LoadAccount(PSID sid, const wchar_t* systemName)
{
    if (sid == nullptr || !::IsValidSid(sid) || ::GetLengthSid(sid) > sizeof(m_buffer))
    {
        ::SetLastError(ERROR_INVALID_SID);
        return false;
    }
    try
    {
        CSid loaded;
        if (!::CopySid(sizeof(loaded.m_buffer), loaded.m_buffer, sid))
            return false;
        loaded.m_bValid = true;
        if (systemName != nullptr)
            loaded.m_systemName = systemName;
        *this = loaded;
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

bool CSid::LoadAccount(const wchar_t* accountName, const wchar_t* systemName)
{
    if (accountName == nullptr || *accountName == L'\0')
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    try
    {
        CSid loaded;
        DWORD sidSize = sizeof(loaded.m_buffer);
        std::wstring domain(64, L'\0');
        DWORD domainSize = static_cast<DWORD>(domain.size());
        SID_NAME_USE use = SidTypeUnknown;
        BOOL ok =
            ::LookupAccountNameW(systemName, accountName, loaded.m_buffer, &sidSize, &domain[0], &domainSize, &use);
        if (!ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && sidSize <= sizeof(loaded.m_buffer))
        {
            domain.assign(domainSize + 1, L'\0');
            domainSize = static_cast<DWORD>(domain.size());
            sidSize = sizeof(loaded.m_buffer);
            ok =
                ::LookupAccountNameW(systemName, accountName, loaded.m_buffer, &sidSize, &domain[0], &domainSize, &use);
        }
        if (!ok)
            return false;
        if (!::IsValidSid(loaded.m_buffer))
        {
            ::SetLastError(ERROR_INVALID_SID);
            return false;
        }
        loaded.m_bValid = true;
        if (systemName != nullptr)
            loaded.m_systemName = systemName;
        // The names are the ones the system reports for the SID; when it
        // cannot name the SID back, those of the lookup stand.
        loaded._LookupNames();
        if (loaded.m_accountName.empty())
        {
            const wchar_t* slash = std::wcsrchr(accountName, L'\\');
            loaded.m_accountName = slash != nullptr ? slash + 1 : accountName;
            loaded.m_domainName.assign(domain.c_str());
            loaded.m_sidNameUse = use;
        }
        *this = loaded;
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

void CSid::Clear()
{
    std::memset(m_buffer, 0, sizeof(m_buffer));
    m_bValid = false;
    m_systemName.clear();
    m_namesLookedUp = false;
    m_accountName.clear();
    m_domainName.clear();
    m_sidNameUse = SidTypeUnknown;
    m_sidStringDone = false;
    m_sidString.clear();
}

bool CSid::IsValid() const
{
    return m_bValid && ::IsValidSid(const_cast<BYTE*>(m_buffer));
}

PSID CSid::GetPSID() const
{
    return IsValid() ? const_cast<BYTE*>(m_buffer) : nullptr;
}

DWORD CSid::GetLength() const
{
    return IsValid() ? ::GetLengthSid(GetPSID()) : 0;
}

const SID_IDENTIFIER_AUTHORITY* CSid::GetPSID_IDENTIFIER_AUTHORITY() const
{
    return IsValid() ? ::GetSidIdentifierAuthority(GetPSID()) : nullptr;
}

UCHAR CSid::GetSubAuthorityCount() const
{
    return IsValid() ? *::GetSidSubAuthorityCount(GetPSID()) : 0;
}

DWORD CSid::GetSubAuthority(DWORD index) const
{
    if (index >= GetSubAuthorityCount())
        return 0;
    return *::GetSidSubAuthority(GetPSID(), index);
}

void CSid::_LookupNames() const
{
    if (m_namesLookedUp || !IsValid())
        return;
    m_namesLookedUp = true;
    const DWORD lastError = ::GetLastError();
    try
    {
        std::wstring name(256, L'\0');
        std::wstring domain(256, L'\0');
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD domainSize = static_cast<DWORD>(domain.size());
        SID_NAME_USE use = SidTypeUnknown;
        const wchar_t* system = m_systemName.empty() ? nullptr : m_systemName.c_str();
        BOOL ok = ::LookupAccountSidW(system, GetPSID(), &name[0], &nameSize, &domain[0], &domainSize, &use);
        if (!ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        {
            name.assign(nameSize + 1, L'\0');
            domain.assign(domainSize + 1, L'\0');
            nameSize = static_cast<DWORD>(name.size());
            domainSize = static_cast<DWORD>(domain.size());
            ok = ::LookupAccountSidW(system, GetPSID(), &name[0], &nameSize, &domain[0], &domainSize, &use);
        }
        if (ok)
        {
            m_accountName.assign(name.c_str());
            m_domainName.assign(domain.c_str());
            m_sidNameUse = use;
        }
    }
    catch (const std::bad_alloc&)
    {
        m_accountName.clear();
        m_domainName.clear();
    }
    ::SetLastError(lastError);
}

const std::wstring& CSid::AccountName() const
{
    _LookupNames();
    return m_accountName;
}

const std::wstring& CSid::Domain() const
{
    _LookupNames();
    return m_domainName;
}

SID_NAME_USE CSid::SidNameUse() const
{
    _LookupNames();
    return m_sidNameUse;
}

const std::wstring& CSid::Sid() const
{
    if (!m_sidStringDone && IsValid())
    {
        const DWORD lastError = ::GetLastError();
        CqzScopedLocal<wchar_t> text;
        if (::ConvertSidToStringSidW(GetPSID(), text.Receive()))
        {
            try
            {
                m_sidString.assign(text.Get());
                m_sidStringDone = true;
            }
            catch (const std::bad_alloc&)
            {
                m_sidString.clear();
            }
        }
        ::SetLastError(lastError);
    }
    return m_sidString;
}

bool CSid::operator==(const CSid& other) const
{
    const bool valid = IsValid();
    if (valid != other.IsValid())
        return false;
    if (!valid)
        return true;
    return ::EqualSid(GetPSID(), other.GetPSID()) != FALSE;
}

bool CSid::operator<(const CSid& other) const
{
    const DWORD length = GetLength();
    const DWORD otherLength = other.GetLength();
    if (length == 0 || otherLength == 0)
        return length < otherLength;
    const int order = std::memcmp(m_buffer, other.m_buffer, length < otherLength ? length : otherLength);
    return order < 0 || (order == 0 && length < otherLength);
}
