#include "testing/standin/standin_record.h"

#include "testing/harness/harness.h"
#include "testing/standin/standin_hex.h"

#include <climits>
#include <cstdio>

namespace qztest
{

const wchar_t* const kStandinCallsFile = L"qz_standin.calls";
const wchar_t* const kStandinResultFile = L"qz_standin.hresult";
const wchar_t* const kShexWithoutShowEBH = L"variants\\qz_shex_without_ShowEBH\\qz_shex.dll";
const wchar_t* const kBhoWithoutShowWB = L"variants\\qz_bho_without_ShowWB\\qz_bho.dll";
const std::vector<std::wstring> kStandinDlls = {L"qz_shex.dll", L"qz_bho.dll"};

namespace
{

bool Fail(std::string* error, const std::string& reason)
{
    if (error)
        *error = reason;
    return false;
}

bool ParseHex(const std::string& text, size_t digits, unsigned long& value)
{
    if (text.size() != digits)
        return false;
    value = 0;
    for (char c : text)
    {
        const int v = qzstandin::HexDigit(c);
        if (v < 0)
            return false;
        value = (value << 4) | static_cast<unsigned long>(v);
    }
    return true;
}

bool ParseDecimal(const std::string& text, long long& value)
{
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        ++i;
    if (i == text.size() || text.size() - i > 19)
        return false;
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return false;
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (magnitude > (negative ? 0x8000000000000000ULL : 0x7FFFFFFFFFFFFFFFULL))
        return false;
    value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return true;
}

// Appends a run of UTF-8 bytes, refusing anything that is not UTF-8.
bool AppendUtf8Run(const std::string& run, std::wstring& out)
{
    if (run.empty())
        return true;
    const int n =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, run.data(), static_cast<int>(run.size()), nullptr, 0);
    if (n <= 0)
        return false;
    const size_t at = out.size();
    out.resize(at + n);
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, run.data(), static_cast<int>(run.size()), &out[at], n);
    return true;
}

bool Unescape(const std::string& text, std::wstring& out, std::string* error)
{
    out.clear();
    std::string run;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '\\')
        {
            run += text[i];
            continue;
        }
        if (!AppendUtf8Run(run, out))
            return Fail(error, "text is not UTF-8");
        run.clear();
        if (++i == text.size())
            return Fail(error, "text ends inside an escape");
        unsigned long unit = 0;
        switch (text[i])
        {
        case '\\':
            unit = L'\\';
            break;
        case 't':
            unit = L'\t';
            break;
        case 'n':
            unit = L'\n';
            break;
        case 'r':
            unit = L'\r';
            break;
        case 'x':
        case 'u':
        {
            const size_t digits = text[i] == 'x' ? 2 : 4;
            if (!ParseHex(text.substr(i + 1, digits), digits, unit))
                return Fail(error, std::string("bad \\") + text[i] + " escape");
            i += digits;
            break;
        }
        default:
            return Fail(error, std::string("unknown escape \\") + text[i]);
        }
        out += static_cast<wchar_t>(unit);
    }
    if (!AppendUtf8Run(run, out))
        return Fail(error, "text is not UTF-8");
    return true;
}

bool ParseText(const std::string& field, std::optional<std::wstring>& text, std::string* error)
{
    if (field == "s-")
    {
        text.reset();
        return true;
    }
    if (field.compare(0, 2, "s:") != 0)
        return Fail(error, "expected a text field, got \"" + field + "\"");
    std::wstring value;
    if (!Unescape(field.substr(2), value, error))
        return false;
    text = value;
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;)
    {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

std::string DescribeText(const std::optional<std::wstring>& text)
{
    return text ? "\"" + ToUtf8(*text) + "\"" : std::string("null");
}

} // namespace

StandinArg StandinArg::Text(const wchar_t* text)
{
    StandinArg arg;
    arg.kind = Kind::Text;
    if (text)
        arg.text = std::wstring(text);
    return arg;
}

StandinArg StandinArg::Int(int value)
{
    StandinArg arg;
    arg.kind = Kind::Int;
    arg.number = value;
    return arg;
}

StandinArg StandinArg::Bool(unsigned char rawByte)
{
    StandinArg arg;
    arg.kind = Kind::Bool;
    arg.number = rawByte;
    return arg;
}

StandinArg StandinArg::Vector(std::vector<std::optional<std::wstring>> entries)
{
    StandinArg arg;
    arg.kind = Kind::Vector;
    arg.vectorPresent = true;
    arg.entries = std::move(entries);
    return arg;
}

StandinArg StandinArg::NullVector()
{
    StandinArg arg;
    arg.kind = Kind::Vector;
    return arg;
}

bool StandinArg::operator==(const StandinArg& other) const
{
    return kind == other.kind && text == other.text && number == other.number && vectorPresent == other.vectorPresent &&
           entries == other.entries;
}

std::string Describe(const StandinArg& arg)
{
    switch (arg.kind)
    {
    case StandinArg::Kind::Text:
        return DescribeText(arg.text);
    case StandinArg::Kind::Int:
        return "int " + std::to_string(arg.number);
    case StandinArg::Kind::Bool:
        return "bool byte " + std::to_string(arg.number);
    case StandinArg::Kind::Vector:
    {
        if (!arg.vectorPresent)
            return "null vector";
        std::string out = "vector {";
        for (size_t i = 0; i < arg.entries.size(); ++i)
            out += (i ? ", " : "") + DescribeText(arg.entries[i]);
        return out + "}";
    }
    }
    return "?";
}

std::string Describe(const StandinCall& call)
{
    char result[16];
    std::snprintf(result, sizeof(result), "0x%08lX", static_cast<unsigned long>(call.result));
    std::string out = call.exportName + "(";
    for (size_t i = 0; i < call.args.size(); ++i)
        out += (i ? ", " : "") + Describe(call.args[i]);
    return out + ") in " + call.apartment + " -> " + result;
}

void PrintTo(const StandinArg& arg, std::ostream* os)
{
    *os << Describe(arg);
}

void PrintTo(const StandinCall& call, std::ostream* os)
{
    *os << Describe(call);
}

bool ParseStandinLine(const std::string& line, StandinCall& call, std::string* error)
{
    const std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() < 5)
        return Fail(error, "fewer than 5 fields");
    call = StandinCall();
    call.exportName = fields[0];
    call.apartment = fields[1];
    if (call.exportName.empty() || call.apartment.empty())
        return Fail(error, "empty export or apartment");
    long long pid = 0, tid = 0;
    if (!ParseDecimal(fields[2], pid) || !ParseDecimal(fields[3], tid) || pid < 0 || tid < 0 || pid > 0xFFFFFFFFLL ||
        tid > 0xFFFFFFFFLL)
        return Fail(error, "bad process or thread id");
    call.pid = static_cast<DWORD>(pid);
    call.tid = static_cast<DWORD>(tid);
    unsigned long result = 0;
    if (fields[4].compare(0, 2, "0x") != 0 || !ParseHex(fields[4].substr(2), 8, result))
        return Fail(error, "bad result \"" + fields[4] + "\"");
    call.result = static_cast<HRESULT>(result);

    for (size_t i = 5; i < fields.size(); ++i)
    {
        const std::string& field = fields[i];
        StandinArg arg;
        long long number = 0;
        if (field == "s-" || field.compare(0, 2, "s:") == 0)
        {
            arg.kind = StandinArg::Kind::Text;
            if (!ParseText(field, arg.text, error))
                return false;
        }
        else if (field.compare(0, 2, "i:") == 0 || field.compare(0, 2, "b:") == 0)
        {
            arg.kind = field[0] == 'i' ? StandinArg::Kind::Int : StandinArg::Kind::Bool;
            if (!ParseDecimal(field.substr(2), number) ||
                (arg.kind == StandinArg::Kind::Int ? number < INT_MIN || number > INT_MAX : number < 0 || number > 255))
                return Fail(error, "bad number field \"" + field + "\"");
            arg.number = number;
        }
        else if (field == "v-")
        {
            arg = StandinArg::NullVector();
        }
        else if (field.compare(0, 2, "v:") == 0)
        {
            if (!ParseDecimal(field.substr(2), number) || number < 0 ||
                static_cast<unsigned long long>(number) > fields.size() - i - 1)
                return Fail(error, "bad vector count \"" + field + "\"");
            arg.kind = StandinArg::Kind::Vector;
            arg.vectorPresent = true;
            for (long long k = 0; k < number; ++k)
            {
                std::optional<std::wstring> entry;
                if (!ParseText(fields[++i], entry, error))
                    return false;
                arg.entries.push_back(std::move(entry));
            }
        }
        else
        {
            return Fail(error, "unknown field \"" + field + "\"");
        }
        call.args.push_back(std::move(arg));
    }
    return true;
}

bool ReadStandinCalls(const std::wstring& dllDir, std::vector<StandinCall>& calls, std::string* error)
{
    calls.clear();
    const std::wstring path = dllDir + L"\\" + kStandinCallsFile;
    if (!FileExists(path))
        return true;
    const std::string content = ReadTextFile(path);
    if (!content.empty() && content.back() != '\n')
        return Fail(error, "last record is not ended by a line feed");
    const std::vector<std::string> lines = ReadLines(path);
    for (size_t i = 0; i < lines.size(); ++i)
    {
        StandinCall call;
        std::string reason;
        if (!ParseStandinLine(lines[i], call, &reason))
            return Fail(error, "line " + std::to_string(i + 1) + ": " + reason);
        calls.push_back(std::move(call));
    }
    return true;
}

bool SetStandinResult(const std::wstring& dllDir, HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX\n", static_cast<unsigned long>(result));
    return WriteTextFile(dllDir + L"\\" + kStandinResultFile, text);
}

bool ClearStandinResult(const std::wstring& dllDir)
{
    const std::wstring path = dllDir + L"\\" + kStandinResultFile;
    return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool ClearStandinCalls(const std::wstring& dllDir)
{
    const std::wstring path = dllDir + L"\\" + kStandinCallsFile;
    return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

} // namespace qztest
