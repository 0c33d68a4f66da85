// The command line of qz_diag and its usage text.
#include "Agent/tools/qz_diag/diag.h"

#include <cwchar>
#include <string>
#include <vector>

namespace qzdiag
{
namespace
{

struct CommandName
{
    Command command;
    const wchar_t* name;
    const wchar_t* usage;
};

const CommandName kCommands[] = {
    {Command::Token, L"token",
     L"  qz_diag token [--pid N] [--no-linked] [--out FILE]\r\n"
     L"  qz_diag token [--pid N] --short [--censor] [--out FILE]\r\n"
     L"      The token report of this process (or of process N): the full report with\r\n"
     L"      the linked token unless --no-linked, or the short one; --censor keeps only\r\n"
     L"      the last part of every SID. Then the administrator decision.\r\n"},
    {Command::Object, L"object",
     L"  qz_diag object file PATH | key ROOT\\PATH | service NAME | winsta | desktop [--out FILE]\r\n"
     L"      The dump of a file or directory, a registry key (ROOT: HKLM, HKCU, HKCR, HKU,\r\n"
     L"      HKCC or their full names), a service, or this process's window station or\r\n"
     L"      desktop.\r\n"},
    {Command::Access, L"access",
     L"  qz_diag access file PATH [--pid N] [--out FILE]\r\n"
     L"      The access this process's token (or process N's) gets to the file\r\n"
     L"      (MAXIMUM_ALLOWED): the mask, its names, and whether it may read.\r\n"},
    {Command::Process, L"process",
     L"  qz_diag process PID | --self [--out FILE]\r\n"
     L"      Image, command line, directory, user, administrator decision, bitness,\r\n"
     L"      creation time, main thread, modules and package of a process.\r\n"},
    {Command::Processes, L"processes",
     L"  qz_diag processes [--out FILE]\r\n"
     L"      One line per process: pid, bitness, user and image path.\r\n"},
    {Command::Os, L"os",
     L"  qz_diag os [--out FILE]\r\n"
     L"      The operating-system record: product, version, build, service pack,\r\n"
     L"      suites, product type, process and native machine types.\r\n"},
    {Command::Agent, L"agent",
     L"  qz_diag agent [--out FILE]\r\n"
     L"      The agent's installation: the qz_agent service and its \"ImagePath\", the\r\n"
     L"      launcher beside this program and the installation check, the install\r\n"
     L"      GUID, the policy value \"QzElevateAllowNonAdmin\", the channel mutex and\r\n"
     L"      the global section name. Sends nothing to the agent.\r\n"},
};

struct RootName
{
    const wchar_t* shortName;
    const wchar_t* longName;
    HKEY root;
};

const RootName kRoots[] = {
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},     {L"HKU", L"HKEY_USERS", HKEY_USERS},
    {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

bool Fail(std::wstring& error, const std::wstring& text)
{
    error = text;
    return false;
}

// A process id: decimal digits only, within 32 bits.
bool ParsePid(const std::wstring& text, DWORD& pid)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long value = 0;
    for (wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value > 0xFFFFFFFFull)
        return false;
    pid = static_cast<DWORD>(value);
    return true;
}

bool ParseKey(const std::wstring& text, Options& options, std::wstring& error)
{
    const size_t separator = text.find(L'\\');
    const std::wstring rootText = text.substr(0, separator);
    for (const RootName& root : kRoots)
    {
        if (::_wcsicmp(rootText.c_str(), root.shortName) == 0 || ::_wcsicmp(rootText.c_str(), root.longName) == 0)
        {
            options.keyRoot = root.root;
            options.keyPath = separator == std::wstring::npos ? std::wstring() : text.substr(separator + 1);
            return true;
        }
    }
    return Fail(error, L"unknown registry root \"" + Shown(rootText) + L"\" (HKLM, HKCU, HKCR, HKU or HKCC)");
}

// The positional arguments of a command into the options.
bool ApplyPositionals(const std::vector<std::wstring>& words, Options& options, std::wstring& error)
{
    const auto count = [&](size_t expected, const wchar_t* what)
    {
        if (words.size() < expected)
            return Fail(error, std::wstring(L"missing ") + what);
        if (words.size() > expected)
            return Fail(error, L"unexpected argument \"" + Shown(words[expected]) + L"\"");
        return true;
    };
    switch (options.command)
    {
    case Command::Object:
    {
        if (words.empty())
            return Fail(error, L"missing object kind (file, key, service, winsta or desktop)");
        const std::wstring& kind = words[0];
        if (kind == L"winsta" || kind == L"desktop")
        {
            options.object = kind == L"winsta" ? ObjectKind::WindowStation : ObjectKind::Desktop;
            return count(1, L"");
        }
        if (kind == L"file")
            options.object = ObjectKind::File;
        else if (kind == L"key")
            options.object = ObjectKind::Key;
        else if (kind == L"service")
            options.object = ObjectKind::Service;
        else
            return Fail(error, L"unknown object kind \"" + Shown(kind) + L"\"");
        if (!count(2, options.object == ObjectKind::File  ? L"PATH"
                      : options.object == ObjectKind::Key ? L"ROOT\\PATH"
                                                          : L"NAME"))
            return false;
        options.target = words[1];
        if (options.target.empty())
            return Fail(error, L"empty name");
        return options.object != ObjectKind::Key || ParseKey(options.target, options, error);
    }
    case Command::Access:
        if (words.empty() || words[0] != L"file")
            return Fail(error,
                        words.empty() ? L"missing \"file\"" : L"unknown object kind \"" + Shown(words[0]) + L"\"");
        if (!count(2, L"PATH"))
            return false;
        options.object = ObjectKind::File;
        options.target = words[1];
        return !options.target.empty() || Fail(error, L"empty path");
    case Command::Process:
        if (options.self)
            return count(0, L"");
        if (words.empty())
            return Fail(error, L"missing PID or --self");
        if (!count(1, L"PID"))
            return false;
        if (!ParsePid(words[0], options.pid))
            return Fail(error, L"not a process id: \"" + Shown(words[0]) + L"\"");
        options.hasPid = true;
        return true;
    default:
        return count(0, L"");
    }
}

// Combinations the commands do not take.
bool CheckCombinations(const Options& options, std::wstring& error)
{
    const bool token = options.command == Command::Token;
    if (!token && (options.shortReport || options.censor || options.noLinked))
        return Fail(error, L"--short, --censor and --no-linked belong to the token command");
    if (options.censor && !options.shortReport)
        return Fail(error, L"--censor applies to the short report (--short)");
    if (options.noLinked && options.shortReport)
        return Fail(error, L"--no-linked applies to the full report (without --short)");
    if (options.self && options.command != Command::Process)
        return Fail(error, L"--self belongs to the process command");
    const bool pidOption = options.hasPid && options.command != Command::Process;
    if (pidOption && !token && options.command != Command::Access)
        return Fail(error, L"--pid belongs to the token and access commands");
    return true;
}

// Help wins over anything else on the line: the usage of the first word
// that names a command, else of every command.
bool AskedForHelp(int argc, const wchar_t* const* argv, Options& options)
{
    for (int i = 0; i < argc; ++i)
    {
        const std::wstring arg = argv[i] != nullptr ? argv[i] : L"";
        if (arg == L"--help" || arg == L"-h" || arg == L"/?")
            options.help = true;
        for (const CommandName& command : kCommands)
        {
            if (options.command == Command::None && arg == command.name)
                options.command = command.command;
        }
    }
    return options.help;
}

} // namespace

bool ParseArguments(int argc, const wchar_t* const* argv, Options& options, std::wstring& error)
{
    if (AskedForHelp(argc, argv, options))
        return true;
    options.command = Command::None;
    std::vector<std::wstring> words;
    bool pidSeen = false;
    for (int i = 0; i < argc; ++i)
    {
        const std::wstring arg = argv[i] != nullptr ? argv[i] : L"";
        const auto once = [&](bool& seen)
        {
            if (seen)
                return Fail(error, L"option " + arg + L" given twice");
            seen = true;
            return true;
        };
        const auto value = [&](std::wstring& out)
        {
            if (i + 1 >= argc || argv[i + 1] == nullptr)
                return Fail(error, L"option " + arg + L" needs a value");
            out = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == L"--out")
            ok = once(options.hasOut) && value(options.outPath) &&
                 (!options.outPath.empty() || Fail(error, L"option --out needs a file name"));
        else if (arg == L"--pid")
        {
            std::wstring text;
            ok = once(pidSeen) && value(text) &&
                 (ParsePid(text, options.pid) || Fail(error, L"not a process id: \"" + Shown(text) + L"\""));
            options.hasPid = ok;
        }
        else if (arg == L"--short")
            ok = once(options.shortReport);
        else if (arg == L"--censor")
            ok = once(options.censor);
        else if (arg == L"--no-linked")
            ok = once(options.noLinked);
        else if (arg == L"--self")
            ok = once(options.self);
        else if (arg.size() > 1 && arg[0] == L'-')
            ok = Fail(error, L"unknown option \"" + Shown(arg) + L"\"");
        else if (options.command == Command::None)
        {
            for (const CommandName& command : kCommands)
            {
                if (arg == command.name)
                    options.command = command.command;
            }
            if (options.command == Command::None)
                ok = Fail(error, L"unknown command \"" + Shown(arg) + L"\"");
        }
        else
            words.push_back(arg);
        if (!ok)
            return false;
    }
    if (options.command == Command::None)
        return Fail(error, L"no command given");
    if (options.command == Command::Process && options.hasPid)
        return Fail(error, L"the process command takes the process id without --pid");
    return ApplyPositionals(words, options, error) && CheckCombinations(options, error);
}

std::wstring UsageText(Command command)
{
    std::wstring text = L"Usage:\r\n";
    for (const CommandName& entry : kCommands)
    {
        if (command == Command::None || command == entry.command)
            text += entry.usage;
    }
    if (command == Command::None)
        text += L"  qz_diag [COMMAND] --help\r\n      This text, or that of one command.\r\n";
    text += L"Reports go to the console as UTF-8; --out FILE writes the UTF-16 report file instead.\r\n"
            L"Exit code: 0 report written, 1 could not be read, 2 usage error.\r\n";
    return text;
}

} // namespace qzdiag
