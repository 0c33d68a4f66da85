// CqzKeyValueMap: the entries, the trace dump and the comparison.
#include "common/util/key_value_map.h"

#include "trace/trace.h"

#include <new>
#include <utility>
#include <vector>

namespace
{

// Upper-cases with the system's own case table, character by character, so
// that embedded zeros and lengths are kept; an ordinal comparison of the
// results is a comparison without regard to case on every supported version.
std::wstring UpperCase(const std::wstring& text)
{
    std::wstring upper(text);
    if (!upper.empty())
        ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    return upper;
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

} // namespace

bool CqzKeyValueMap::SetAt(const std::wstring& key, const std::wstring& value)
{
    try
    {
        m_entries[key] = value;
        return true;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

bool CqzKeyValueMap::Lookup(const std::wstring& key, std::wstring& value) const
{
    const Map::const_iterator found = m_entries.find(key);
    if (found == m_entries.end())
        return false;
    value = found->second;
    return true;
}

bool CqzKeyValueMap::RemoveKey(const std::wstring& key)
{
    return m_entries.erase(key) != 0;
}

void CqzKeyValueMap::DumpToTrace() const
{
    QZ_STACK_NAME("DumpToTrace", nullptr);
    if (m_entries.empty())
    {
        QZTRACE(QZT_INFO, nullptr, "******\r\nEmpty\r\n******");
        return;
    }
    QZTRACE(QZT_INFO, nullptr, "******\r\n" << m_entries.size() << " entries:");
    for (const Map::value_type& entry : m_entries)
        QZTRACE(QZT_INFO, nullptr, "* " << entry.first << ": " << entry.second);
    QZTRACE(QZT_INFO, nullptr, "******");
}

bool CqzKeyValueMap::IsEqual(const CqzKeyValueMap& other) const
{
    if (m_entries.size() != other.m_entries.size())
        return false;
    for (const Map::value_type& entry : other.m_entries)
    {
        const Map::const_iterator mine = m_entries.find(entry.first);
        if (mine == m_entries.end() || !EqualIgnoringCase(mine->second, entry.second))
            return false;
    }
    return true;
}
