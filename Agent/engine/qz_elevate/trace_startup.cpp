// Trace start-up of the launcher: the start-up trace file beside the agent's
// installation, the built-in defaults when no configuration file is in use,
// and the per-command trace file once a command is known.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "common/util/util.h"
#include "trace/trace.h"

#include <shlwapi.h>

#include <io.h>

#include <cwchar>
#include <string>

namespace
{

const wchar_t* const kConfigFileName = L"qz_elevate.cfg";
const char* const kPrefixTemplate =
    "<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID> <%CLASS>::<%STACK>:";

// Read access, as _waccess tests it.
const int kReadAccess = 4;

// Drops the last component of a directory in place; false when there is
// nothing to drop.
bool RemoveLastComponent(std::wstring& dir)
{
    if (dir.empty() || !::PathRemoveFileSpecW(&dir[0]))
        return false;
    dir.resize(std::wcslen(dir.c_str()));
    return true;
}

bool IsConfigFileInUse()
{
    const wchar_t* configFile = D_C_Support_GetConfigFile();
    return configFile && *configFile && ::_waccess(configFile, kReadAccess) == 0;
}

} // namespace

void InitTrace(const char* traceFileName)
{
    // The trace base directory is the parent of the directory holding this
    // code's module: the agent's installation directory.
    std::wstring baseDir;
    if (!CqzUtil::GetModuleDirByAddr(reinterpret_cast<const void*>(&InitTrace), baseDir))
        return;
    if (!RemoveLastComponent(baseDir))
        return;

    const std::wstring configPath = baseDir + L"\\config\\" + kConfigFileName;
    D_C_Support_SetConfigFile(configPath.c_str());
    const bool useConfigFile = IsConfigFileInUse();

    if (useConfigFile)
    {
        QZTRACE(QZT_INFO, nullptr, "INFO: Using trace config file " << configPath);
    }
    else
    {
        D_C_Support_SetRefreshInterval(30, 0);
        D_C_Support_SetRotation(20, 1000000, 0);
        std::string baseDirUtf8;
        if (!CqzUtil::WideToUtf8(baseDir.c_str(), baseDirUtf8))
            return;
        const std::string tracePath = baseDirUtf8 + "\\trace\\" + (traceFileName ? traceFileName : "");
        D_C_Support_SetD_File(tracePath.c_str(), 0, 1);
    }

    // Traced before the defaults below take effect: in the default case the
    // banner goes out with the library's own start-up prefix and levels.
    QZTRACE(QZT_INFO, nullptr, "\n***************** QZ_ELEVATE Start *****************");

    if (!useConfigFile)
    {
        D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, -1, kPrefixTemplate);
        D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, QZT_REDIRECTED, "");
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", QZT_ERROR, 1);
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", QZT_WARNING, 1);
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", QZT_INFO, 1);
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", QZT_REDIRECTED, 1);
    }
}

void CqzElevateModule::SetCommandTraceFile(const wchar_t* commandWord)
{
    if (!commandWord || !*commandWord)
        return;
    std::wstring baseDir;
    if (!CqzUtil::GetModuleDir(baseDir))
        return;
    // A drive root stays as it is.
    RemoveLastComponent(baseDir);

    std::string baseDirUtf8;
    if (!CqzUtil::WideToUtf8(baseDir.c_str(), baseDirUtf8))
        return;
    // The command words are ASCII, which UTF-8 keeps as they are.
    std::string word;
    if (!CqzUtil::WideToUtf8(commandWord, word))
        return;

    const std::string tracePath = baseDirUtf8 + "\\trace\\qz_elevate." + word + "." QZ_ELEVATE_ARCH_WORD ".{" +
                                  std::to_string(CqzUtil::GetUserSidCrc()) + "}.trace";
    D_C_Support_SetD_File(tracePath.c_str(), 0, 1);
    QZTRACE(QZT_INFO, "CqzElevateModule", "INFO: CmdLine [" << ::GetCommandLineW() << "]");
}
