// Shared pieces of the CqzProcessHandle sources.
#pragma once

namespace qzprocess
{

const char* const kClass = "CqzProcessHandle";
const char* const kNullHandle = "ERROR: Process handle is NULL";

} // namespace qzprocess
