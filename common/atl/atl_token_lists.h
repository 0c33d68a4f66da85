// CTokenGroups and CTokenPrivileges: the group and privilege lists of a
// token, copied out of the system's TOKEN_GROUPS / TOKEN_PRIVILEGES blocks.
//
// No operation throws; failures are reported by the result.
#pragma once

#include <windows.h>

#include <vector>

#include "common/atl/atl_sid.h"

class CTokenGroups
{
public:
    CTokenGroups() = default;

    // Replaces the list with the groups of a TOKEN_GROUPS block of the given
    // size in bytes. A SID that is not valid stays in the list as an empty
    // CSid so that SIDs and attributes keep their pairing. False (and the
    // list emptied) when the count does not fit the block.
    bool LoadFromTokenGroups(const TOKEN_GROUPS* groups, DWORD size);
    // Appends one group.
    bool Add(const CSid& sid, DWORD attributes);
    void Clear();

    UINT GetCount() const { return static_cast<UINT>(m_sids.size()); }
    // The SIDs and their attributes, entry i of one belonging to entry i of
    // the other. Either pointer may be null.
    bool GetSidsAndAttributes(std::vector<CSid>* sids, std::vector<DWORD>* attributes) const;

private:
    std::vector<CSid> m_sids;
    std::vector<DWORD> m_attributes;
};

class CTokenPrivileges
{
public:
    CTokenPrivileges() = default;

    // Replaces the list with a TOKEN_PRIVILEGES block of the given size.
    bool LoadFromTokenPrivileges(const TOKEN_PRIVILEGES* privileges, DWORD size);
    // Appends one privilege, or changes its attributes when present.
    bool Add(const LUID& luid, DWORD attributes);
    // The same by name (LookupPrivilegeValueW on the local system); false,
    // with the lookup's error as last error, when the name is unknown.
    bool Add(const wchar_t* name, bool enable);
    void Clear();

    UINT GetCount() const { return static_cast<UINT>(m_privileges.size()); }
    const std::vector<LUID_AND_ATTRIBUTES>& GetLuidsAndAttributes() const { return m_privileges; }
    // Attributes of one privilege; false when the list lacks it.
    bool LookupPrivilege(const LUID& luid, DWORD* attributes = nullptr) const;
    // The list as a TOKEN_PRIVILEGES block (for AdjustTokenPrivileges);
    // false when it cannot be allocated.
    bool GetTokenPrivilegesBlock(std::vector<BYTE>& block) const;

private:
    std::vector<LUID_AND_ATTRIBUTES> m_privileges;
};
