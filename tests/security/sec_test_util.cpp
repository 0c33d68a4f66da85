// The security suites' helpers are the harness's own (see the header); this
// library only carries them under the suites' names.
#include "tests/security/sec_test_util.h"
