// Name patterns of the level and prefix rules.
//
// A pattern matches a whole name. '.' matches any one character, '*' repeats
// the item before it any number of times (none included), '\' makes the next
// character literal; every other character matches itself. A '*' with no item
// before it matches a literal '*'. ".*" matches every name, the empty one too.
// Matching runs over a set of positions (no backtracking, no recursion), so its
// cost is bounded by name length times pattern length.
#pragma once

#include <cstddef>
#include <vector>

namespace qztrace
{

class Pattern
{
public:
    // Longest pattern text accepted, in bytes.
    static const size_t kMaxText = 1024;

    // Compiles the text; false (and the pattern unusable) when it is null or
    // longer than kMaxText. With ignoreCase, ASCII letters match either case.
    bool Compile(const char* text, bool ignoreCase);

    bool Matches(const char* name) const;
    bool MatchesAll() const { return m_all; }

private:
    struct Item
    {
        char ch;
        bool any;
        bool star;
    };
    bool ItemMatches(const Item& item, char c) const;

    std::vector<Item> m_items;
    bool m_ignoreCase = false;
    bool m_all = false;
    bool m_valid = false;
};

} // namespace qztrace
