// Reaches the launcher module's private members, for the launcher suites.
#pragma once

#include "Agent/engine/qz_elevate/qz_elevate_module.h"

class CqzElevateModulePeer
{
public:
    static bool AllowNonAdmin(CqzElevateModule& module) { return module._AllowNonAdmin(); }
    static bool IsUserAdmin(CqzElevateModule& module) { return module._IsUserAdmin(); }
    static LPWSTR* ArgumentsAfterTool(LPWSTR* argv, int argc)
    {
        return CqzElevateModule::_ArgumentsAfterTool(argv, argc);
    }
};
