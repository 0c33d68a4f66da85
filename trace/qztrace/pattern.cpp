#include "trace/qztrace/pattern.h"

#include <cstring>

namespace qztrace
{

namespace
{
char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
} // namespace

bool Pattern::Compile(const char* text, bool ignoreCase)
{
    m_items.clear();
    m_valid = false;
    m_all = false;
    m_ignoreCase = ignoreCase;
    if (!text)
        return false;
    const size_t len = std::strlen(text);
    if (len > kMaxText)
        return false;
    m_items.reserve(len);
    for (size_t i = 0; i < len; ++i)
    {
        const char c = text[i];
        if (c == '*' && !m_items.empty())
        {
            m_items.back().star = true; // "a**" repeats like "a*"
            continue;
        }
        Item item{c, false, false};
        if (c == '\\' && i + 1 < len)
            item.ch = text[++i];
        else if (c == '.')
            item.any = true;
        m_items.push_back(item);
    }
    m_all = !m_items.empty();
    for (const Item& item : m_items)
        m_all = m_all && item.any && item.star;
    m_valid = true;
    return true;
}

bool Pattern::ItemMatches(const Item& item, char c) const
{
    if (item.any)
        return true;
    return m_ignoreCase ? Lower(item.ch) == Lower(c) : item.ch == c;
}

bool Pattern::Matches(const char* name) const
{
    if (!m_valid)
        return false;
    if (m_all)
        return true;
    if (!name)
        name = "";
    const size_t count = m_items.size();
    // States 0..count: "the items before this position have matched". Two rows
    // of flags on the stack for short patterns, the heap for long ones.
    unsigned char small[2][64];
    std::vector<unsigned char> large;
    unsigned char* cur = small[0];
    unsigned char* next = small[1];
    if (count + 1 > sizeof(small[0]))
    {
        large.assign(2 * (count + 1), 0);
        cur = large.data();
        next = large.data() + count + 1;
    }
    std::memset(cur, 0, count + 1);
    cur[0] = 1;
    // A starred item may match nothing: reaching it reaches the one after it.
    auto close = [&](unsigned char* row)
    {
        for (size_t i = 0; i < count; ++i)
            if (row[i] && m_items[i].star)
                row[i + 1] = 1;
    };
    close(cur);
    for (const char* p = name; *p; ++p)
    {
        std::memset(next, 0, count + 1);
        bool any = false;
        for (size_t i = 0; i < count; ++i)
        {
            if (!cur[i] || !ItemMatches(m_items[i], *p))
                continue;
            next[m_items[i].star ? i : i + 1] = 1;
            any = true;
        }
        if (!any)
            return false;
        close(next);
        unsigned char* t = cur;
        cur = next;
        next = t;
    }
    return cur[count] != 0;
}

} // namespace qztrace
