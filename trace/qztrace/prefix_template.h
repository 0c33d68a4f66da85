// Prefix templates: literal text with <%NAME> fields, expanded for each line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qztrace
{

// One live D_StackName_c scope of a thread.
struct StackFrame
{
    const void* owner;
    const char* function;
    const char* className;
};

// What one line's prefix is made of. The time fields are read only when the
// template uses them (NeedsTime).
struct PrefixContext
{
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
    unsigned long pid = 0;
    unsigned long tid = 0;
    const char* className = nullptr; // null: outside classes
    const char* file = nullptr;      // the statement's source path
    unsigned long line = 0;
    const char* levelName = nullptr; // null: the level has no name
    int level = 0;
    const StackFrame* frames = nullptr; // outermost first
    size_t storedFrames = 0;
    size_t totalFrames = 0; // more than stored when the stack overflowed
};

class PrefixTemplate
{
public:
    // Innermost stack frames shown by <%STACK>.
    static const size_t kStackShown = 16;

    void Compile(const char* text);
    bool Empty() const { return m_segments.empty(); }
    bool NeedsTime() const { return m_needsTime; }
    // <%MSEC> changes with every line: such a prefix is expanded every time.
    bool NeedsMilliseconds() const { return m_needsMsec; }
    const std::string& Text() const { return m_text; }

    // Writes the prefix into out (cap > 0), always NUL-terminated, cut at cap;
    // returns its length.
    size_t Expand(const PrefixContext& context, char* out, size_t cap) const;

private:
    enum class Field : unsigned char
    {
        Text,
        Year,
        Month,
        Day,
        Hour,
        Min,
        Sec,
        Msec,
        Pid,
        Tid,
        Class,
        Stack,
        Level,
        File,
        Line,
        Func,
    };
    struct Segment
    {
        Field field;
        std::string text;
    };

    std::vector<Segment> m_segments;
    std::string m_text;
    bool m_needsTime = false;
    bool m_needsMsec = false;
};

// The part of a source path after its last '\' or '/'.
const char* BaseName(const char* path);

} // namespace qztrace
