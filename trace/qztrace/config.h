// The configuration file: read when named, re-read when it changes.
#pragma once

namespace qztrace
{

void ConfigSetPath(const wchar_t* path);
const wchar_t* ConfigGetPath();
void ConfigSetRefreshInterval(int seconds);
// Called now and then from statements: re-reads the file when the refresh
// interval has passed and the file changed. Never blocks.
void ConfigMaybeRefresh();

} // namespace qztrace
