#include "trace/qztrace/prefix_template.h"

#include <cstring>

namespace qztrace
{

namespace
{

class Writer
{
public:
    Writer(char* out, size_t cap) : m_out(out), m_cap(cap) {}

    void Append(const char* text, size_t length)
    {
        const size_t room = m_cap - 1 - m_length;
        if (length > room)
            length = room;
        std::memcpy(m_out + m_length, text, length);
        m_length += length;
    }
    void Append(const char* text) { Append(text, std::strlen(text)); }
    void Number(unsigned long value, unsigned width)
    {
        char digits[16];
        size_t n = 0;
        do
        {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n < width && n < sizeof digits)
            digits[n++] = '0';
        char text[16];
        for (size_t i = 0; i < n; ++i)
            text[i] = digits[n - 1 - i];
        Append(text, n);
    }
    void Signed(long value)
    {
        if (value < 0)
        {
            Append("-", 1);
            Number(0UL - static_cast<unsigned long>(value), 0);
        }
        else
        {
            Number(static_cast<unsigned long>(value), 0);
        }
    }
    size_t Finish()
    {
        m_out[m_length] = '\0';
        return m_length;
    }

private:
    char* m_out;
    size_t m_cap;
    size_t m_length = 0;
};

} // namespace

const char* BaseName(const char* path)
{
    if (!path)
        return "";
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/')
            base = p + 1;
    return base;
}

void PrefixTemplate::Compile(const char* text)
{
    static const struct
    {
        const char* name;
        Field field;
        bool time;
    } kFields[] = {
        {"YEAR", Field::Year, true},    {"MONTH", Field::Month, true},  {"DAY", Field::Day, true},
        {"HOUR", Field::Hour, true},    {"MIN", Field::Min, true},      {"SEC", Field::Sec, true},
        {"MSEC", Field::Msec, true},    {"PID", Field::Pid, false},     {"TID", Field::Tid, false},
        {"CLASS", Field::Class, false}, {"STACK", Field::Stack, false}, {"LEVEL", Field::Level, false},
        {"FILE", Field::File, false},   {"LINE", Field::Line, false},   {"FUNC", Field::Func, false},
    };
    m_segments.clear();
    m_needsTime = false;
    m_needsMsec = false;
    m_text = text ? text : "";
    std::string literal;
    const char* p = m_text.c_str();
    while (*p)
    {
        if (p[0] == '<' && p[1] == '%')
        {
            const char* close = std::strchr(p + 2, '>');
            bool known = false;
            if (close)
            {
                const size_t length = static_cast<size_t>(close - (p + 2));
                for (const auto& f : kFields)
                {
                    if (std::strlen(f.name) == length && std::memcmp(f.name, p + 2, length) == 0)
                    {
                        if (!literal.empty())
                            m_segments.push_back(Segment{Field::Text, literal});
                        literal.clear();
                        m_segments.push_back(Segment{f.field, std::string()});
                        m_needsTime = m_needsTime || f.time;
                        m_needsMsec = m_needsMsec || f.field == Field::Msec;
                        known = true;
                        break;
                    }
                }
            }
            if (known)
            {
                p = close + 1;
                continue;
            }
        }
        literal += *p++; // unknown fields stay as written
    }
    if (!literal.empty())
        m_segments.push_back(Segment{Field::Text, literal});
}

size_t PrefixTemplate::Expand(const PrefixContext& c, char* out, size_t cap) const
{
    Writer w(out, cap);
    for (const Segment& s : m_segments)
    {
        switch (s.field)
        {
        case Field::Text:
            w.Append(s.text.data(), s.text.size());
            break;
        case Field::Year:
            w.Number(c.year, 4);
            break;
        case Field::Month:
            w.Number(c.month, 2);
            break;
        case Field::Day:
            w.Number(c.day, 2);
            break;
        case Field::Hour:
            w.Number(c.hour, 2);
            break;
        case Field::Min:
            w.Number(c.minute, 2);
            break;
        case Field::Sec:
            w.Number(c.second, 2);
            break;
        case Field::Msec:
            w.Number(c.msec, 3);
            break;
        case Field::Pid:
            w.Number(c.pid, 0);
            break;
        case Field::Tid:
            w.Number(c.tid, 0);
            break;
        case Field::Class:
            w.Append(c.className ? c.className : "");
            break;
        case Field::Stack:
        {
            size_t first = 0;
            if (c.storedFrames > kStackShown)
            {
                first = c.storedFrames - kStackShown;
                w.Append("...>");
            }
            for (size_t i = first; i < c.storedFrames; ++i)
            {
                if (i != first)
                    w.Append(">", 1);
                w.Append(c.frames[i].function ? c.frames[i].function : "?");
            }
            if (c.totalFrames > c.storedFrames)
                w.Append(c.storedFrames ? ">..." : "...");
            break;
        }
        case Field::Level:
            if (c.levelName)
                w.Append(c.levelName);
            else
                w.Signed(c.level);
            break;
        case Field::File:
            w.Append(BaseName(c.file));
            break;
        case Field::Line:
            w.Number(c.line, 0);
            break;
        case Field::Func:
            if (c.totalFrames > c.storedFrames)
                w.Append("...");
            else if (c.storedFrames)
                w.Append(c.frames[c.storedFrames - 1].function ? c.frames[c.storedFrames - 1].function : "?");
            break;
        }
    }
    return w.Finish();
}

} // namespace qztrace
