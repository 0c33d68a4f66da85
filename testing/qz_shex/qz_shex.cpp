// Stand-in for the agent's qz_shex.dll: records each call beside the DLL and
// returns the result the test chose (testing/standin/standin_record.h).
#include "testing/standin/standin_exports.h"
#include "testing/standin/standin_recorder.h"

extern "C" HRESULT WINAPI ShowEBH(LPCWSTR location)
{
    qzstandin::CallRecord record("ShowEBH");
    record.AddText(location);
    return record.Finish();
}

extern "C" HRESULT WINAPI QzToolExec(LPCWSTR tool, int showWindow, int argumentCount, LPWSTR* argumentsAfterTool)
{
    qzstandin::CallRecord record("QzToolExec");
    record.AddText(tool);
    record.AddInt(showWindow);
    record.AddInt(argumentCount);
    record.AddVector(argumentsAfterTool, argumentCount);
    return record.Finish();
}
