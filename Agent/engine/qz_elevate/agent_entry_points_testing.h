// Test seam of the agent library loader, for suites only.
//
// A running executable always has a directory under Wine, so the loader's
// fallback for "no directory" cannot be reached for real. Suites swap the
// directory source for one that fails, and put the previous one back after.
// The launcher itself never calls this.
#pragma once

#include <string>

namespace qz_elevate_testing
{

// Fills dir with the launcher's directory (no trailing backslash); false when
// it cannot be had. The default is CqzUtil::GetModuleDir.
using ModuleDirSource = bool (*)(std::wstring& dir);

// Installs source (null: the default) and returns the one it replaces.
ModuleDirSource SetModuleDirSource(ModuleDirSource source);

} // namespace qz_elevate_testing
