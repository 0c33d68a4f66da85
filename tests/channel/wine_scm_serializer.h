// A seam for a Wine fault, in test processes only.
//
// Wine's service-manager client is not safe across threads of one process:
// while one thread opens or closes service handles, calls of other threads
// on their own handles fail with ERROR_INVALID_HANDLE (seen with Wine 8 for
// OpenSCManagerW / OpenServiceW / ControlService / QueryServiceStatus /
// CloseServiceHandle from four threads). Windows has no such limit. Under
// Wine this puts every one of those calls made from the executable's own
// code (the channel client included) behind one lock of the process, so
// that senders' threads still run concurrently everywhere else: mutex,
// section, record. Does nothing on Windows.
#pragma once

namespace qzchan
{

// Installs the hooks once; true when they are in place or not needed.
bool SerializeWineServiceManagerCalls();

} // namespace qzchan
