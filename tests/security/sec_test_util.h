// Helpers of the security suites and their probe: import-table hooks (the
// narrow seams for states Wine cannot produce), tokens built from the
// process token, and the probe's key=value result files. All of them live in
// the harness; this header names them for the suites.
#pragma once

#include <windows.h>

#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

namespace qzsec
{

// The import-table hook of the harness, under the name the suites use.
using qztest::IatHook;

// Tokens derived from the current process token, the probe's key=value
// result files and SID texts: the harness's own, under the names the suites
// use.
using qztest::DuplicatePrimary;
using qztest::DuplicateWithPrivilege;
using qztest::KeyValues;
using qztest::LinkedToken;
using qztest::OpenOwnProcessToken;
using qztest::ReadKeyValues;
using qztest::RestrictedAdministratorsDenyOnly;
using qztest::SidToString;
using qztest::TokenGroupAttributes;
using qztest::TokenHasPrivilege;

} // namespace qzsec
