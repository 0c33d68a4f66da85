// Stand-in for the agent's qz_bho.dll: records each call beside the DLL and
// returns the result the test chose (testing/standin/standin_record.h).
#include "testing/standin/standin_exports.h"
#include "testing/standin/standin_recorder.h"

extern "C" HRESULT WINAPI CallCGCOFU()
{
    qzstandin::CallRecord record("CallCGCOFU");
    return record.Finish();
}

extern "C" HRESULT WINAPI ShowWB(LPCWSTR address, bool autoElevate)
{
    qzstandin::CallRecord record("ShowWB");
    record.AddText(address);
    record.AddBool(autoElevate);
    return record.Finish();
}
