#include "trace/qztrace/config_parse.h"

#include <climits>
#include <cstring>

namespace qztrace
{

namespace
{

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool SameText(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Reads one token: a quoted text ("..." with \" and \\) or a run of non-blank
// characters. False at the end of the line or on an unclosed quote.
bool NextToken(const char*& p, const char* end, std::string* token, std::string* error)
{
    token->clear();
    while (p < end && IsSpace(*p))
        ++p;
    if (p >= end)
        return false;
    if (*p != '"')
    {
        while (p < end && !IsSpace(*p))
            *token += *p++;
        return true;
    }
    ++p;
    while (p < end && *p != '"')
    {
        if (*p == '\\' && p + 1 < end && (p[1] == '"' || p[1] == '\\'))
            ++p;
        *token += *p++;
    }
    if (p >= end)
    {
        *error = "unclosed quotation mark";
        return false;
    }
    ++p;
    return true;
}

// The rest of the line: one quoted token, or the raw text without the blanks
// around it.
bool RestOfLine(const char*& p, const char* end, std::string* value, std::string* error)
{
    while (p < end && IsSpace(*p))
        ++p;
    const char* last = end;
    while (last > p && IsSpace(last[-1]))
        --last;
    if (p < last && *p == '"')
    {
        if (!NextToken(p, last, value, error))
            return false;
        if (p != last)
        {
            *error = "text after the closing quotation mark";
            return false;
        }
        return true;
    }
    value->assign(p, last);
    p = end;
    return true;
}

bool ParseNumber(const std::string& text, long long maxValue, long long* value)
{
    if (text.empty() || text.size() > 19)
        return false;
    long long v = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > maxValue)
            return false;
    }
    *value = v;
    return true;
}

bool ParseBool(const std::string& text, bool* value)
{
    if (SameText(text, "on") || SameText(text, "yes") || SameText(text, "true") || text == "1")
        *value = true;
    else if (SameText(text, "off") || SameText(text, "no") || SameText(text, "false") || text == "0")
        *value = false;
    else
        return false;
    return true;
}

bool ParseScope(const std::string& text, int* scope)
{
    if (text == "0" || SameText(text, "file"))
        *scope = 0;
    else if (text == "1" || SameText(text, "class"))
        *scope = 1;
    else
        return false;
    return true;
}

bool ParseLevel(const std::string& text, LevelNameResolver resolver, int* level)
{
    long long number = 0;
    if (text == "*")
        *level = -1;
    else if (ParseNumber(text, INT_MAX, &number))
        *level = static_cast<int>(number);
    else if (StandardLevel(text, level))
        return true;
    else
        return resolver && resolver(text, level);
    return true;
}

// Applies one line; an error text when it is ignored.
std::string ParseLine(const char* p, const char* end, LevelNameResolver resolver, ConfigSettings* out)
{
    std::string key;
    while (p < end && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || *p == '_'))
        key += *p++;
    if (key.empty() || (p < end && !IsSpace(*p) && *p != '='))
        return "no key at the start of the line";
    while (p < end && IsSpace(*p))
        ++p;
    if (p < end && *p == '=')
        ++p;

    std::string error;
    std::string a, b, c, d;
    if (SameText(key, "file"))
    {
        if (!RestOfLine(p, end, &a, &error))
            return error;
        out->hasFile = true;
        out->file = a;
        return std::string();
    }
    if (SameText(key, "append"))
    {
        bool value = true;
        if (!RestOfLine(p, end, &a, &error))
            return error;
        if (!ParseBool(a, &value))
            return "append needs on or off, found \"" + a + "\"";
        out->hasAppend = true;
        out->append = value;
        return std::string();
    }
    if (SameText(key, "rotation"))
    {
        long long files = 0;
        long long bytes = 0;
        const bool hasFiles = NextToken(p, end, &a, &error);
        const bool hasBytes = hasFiles && NextToken(p, end, &b, &error);
        if (hasFiles && !hasBytes && error.empty() && SameText(a, "off"))
        {
            out->hasRotation = true;
            out->rotationFiles = 0;
            out->rotationBytes = 0;
            return std::string();
        }
        if (!error.empty())
            return error;
        if (!hasBytes || NextToken(p, end, &c, &error))
            return "rotation needs two numbers: files kept and bytes per file";
        if (!ParseNumber(a, 9999, &files) || !ParseNumber(b, INT_MAX, &bytes))
            return "rotation numbers out of range: \"" + a + "\" \"" + b + "\"";
        out->hasRotation = true;
        out->rotationFiles = static_cast<int>(files);
        out->rotationBytes = static_cast<int>(bytes);
        return std::string();
    }
    if (SameText(key, "refresh"))
    {
        long long seconds = 0;
        if (!NextToken(p, end, &a, &error) || NextToken(p, end, &b, &error))
            return error.empty() ? "refresh needs one number of seconds" : error;
        if (!ParseNumber(a, 86400L * 365, &seconds))
            return "refresh needs a number of seconds, found \"" + a + "\"";
        out->hasRefresh = true;
        out->refreshSeconds = static_cast<int>(seconds);
        return std::string();
    }
    const bool isLevel = SameText(key, "level");
    const bool isPrefix = SameText(key, "prefix");
    if (!isLevel && !isPrefix)
        return "unknown key \"" + key + "\"";
    int scope = 0;
    int level = 0;
    if (!NextToken(p, end, &a, &error) || !NextToken(p, end, &b, &error) || !NextToken(p, end, &c, &error))
        return error.empty() ? key + " needs a scope, a pattern and a level" : error;
    if (!ParseScope(a, &scope))
        return "unknown scope \"" + a + "\" (file, class, 0 or 1)";
    if (b.size() > 1024)
        return "pattern too long";
    if (!ParseLevel(c, resolver, &level))
        return "unknown level \"" + c + "\"";
    if (isLevel)
    {
        bool on = false;
        if (!NextToken(p, end, &d, &error))
            return error.empty() ? "level needs on or off after the level" : error;
        if (!ParseBool(d, &on))
            return "level needs on or off, found \"" + d + "\"";
        if (NextToken(p, end, &a, &error) || !error.empty())
            return error.empty() ? "text after on/off" : error;
        if (out->levels.size() >= kMaxConfigRules)
            return "too many level rules";
        out->levels.push_back(ConfigLevelRule{scope, b, level, on});
        return std::string();
    }
    if (!RestOfLine(p, end, &d, &error))
        return error;
    if (out->prefixes.size() >= kMaxConfigRules)
        return "too many prefix rules";
    out->prefixes.push_back(ConfigPrefixRule{scope, b, level, d});
    return std::string();
}

} // namespace

bool StandardLevel(const std::string& name, int* level)
{
    static const struct
    {
        const char* name;
        int level;
    } kLevels[] = {
        {"QZT_ERROR", 100},
        {"QZT_WARNING", 200},
        {"QZT_INFO", 300},
        {"QZT_TRACE", 400},
        {"QZT_VERBOSE", 500},
        {"QZT_DEBUG", 600},
        {"QZT_FLASHBACK_ERROR", 3700},
        {"QZT_FLASHBACK_WARNING", 3710},
        {"QZT_FLASHBACK_INFO", 3720},
        {"QZT_REDIRECTED", 3838},
    };
    for (const auto& l : kLevels)
    {
        if (SameText(name, l.name))
        {
            *level = l.level;
            return true;
        }
    }
    return false;
}

void ParseConfig(const char* text, size_t length, LevelNameResolver resolver, ConfigSettings* out)
{
    if (!text)
        return;
    if (length > kMaxConfigBytes)
    {
        length = kMaxConfigBytes;
        out->diagnostics.push_back(ConfigDiagnostic{0, "file larger than 1 MiB; the rest is ignored"});
    }
    const char* p = text;
    const char* end = text + length;
    if (length >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0)
        p += 3;
    unsigned lineNumber = 0;
    while (p < end)
    {
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!eol)
            eol = end;
        ++lineNumber;
        const char* start = p;
        const char* stop = eol;
        p = eol < end ? eol + 1 : end;
        if (static_cast<size_t>(stop - start) > kMaxConfigLine)
        {
            out->diagnostics.push_back(ConfigDiagnostic{lineNumber, "line longer than 4096 bytes"});
            continue;
        }
        while (start < stop && IsSpace(*start))
            ++start;
        while (stop > start && IsSpace(stop[-1]))
            --stop;
        if (start == stop || *start == '#')
            continue;
        if (std::memchr(start, '\0', static_cast<size_t>(stop - start)))
        {
            out->diagnostics.push_back(ConfigDiagnostic{lineNumber, "NUL character in the line"});
            continue;
        }
        std::string reason = ParseLine(start, stop, resolver, out);
        if (!reason.empty())
            out->diagnostics.push_back(ConfigDiagnostic{lineNumber, reason});
    }
}

} // namespace qztrace
