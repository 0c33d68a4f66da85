// The one way agent code traces.
//
//   QZTRACE(QZT_ERROR, "CqzUtil", "ERROR: Failed to open " << path << ". LastError=" << err);
//
// The pieces are evaluated only when the library will write the line, and the
// thread's last-error value is the same after the statement as before it, so a
// statement can stand between a failing call and the GetLastError() that
// reads it. The class argument is the enclosing class's name, or nullptr
// outside classes.
#pragma once

#include "trace/qztrace.h"

#define QZTRACE(level, className, pieces)                                                                              \
    do                                                                                                                 \
    {                                                                                                                  \
        const DWORD qzTraceLastError_ = ::GetLastError();                                                              \
        D_Support_c::Enter();                                                                                          \
        if (D_Support_c::DoPrintFor(__FILE__, (className), (level)))                                                   \
        {                                                                                                              \
            std::ostream& qzTraceStream_ = D_Support_c::D_Stream();                                                    \
            qzTraceStream_ << D_Support_c::Prefix(__FILE__, __LINE__, (className), (level));                           \
            qzTraceStream_.flush();                                                                                    \
            qzTraceStream_ << pieces << "\n";                                                                          \
            qzTraceStream_.flush();                                                                                    \
        }                                                                                                              \
        D_Support_c::Leave();                                                                                          \
        ::SetLastError(qzTraceLastError_);                                                                             \
    } while (0)

// Names the running function for the <%STACK> prefix field until the end of
// the enclosing scope.
#define QZ_STACK_NAME(function, className) D_StackName_c qzStackName_((function), (className))

// Each translation unit that traces holds these from static initialisation on:
// the stream guard (never destroyed) and one level-name object per level.
namespace
{
const CqzIostreamInit qzIostreamInit_{};
const D_LevelName_c qzLevelError_{"QZT_ERROR", QZT_ERROR};
const D_LevelName_c qzLevelWarning_{"QZT_WARNING", QZT_WARNING};
const D_LevelName_c qzLevelInfo_{"QZT_INFO", QZT_INFO};
const D_LevelName_c qzLevelTrace_{"QZT_TRACE", QZT_TRACE};
const D_LevelName_c qzLevelVerbose_{"QZT_VERBOSE", QZT_VERBOSE};
const D_LevelName_c qzLevelDebug_{"QZT_DEBUG", QZT_DEBUG};
const D_LevelName_c qzLevelFlashbackError_{"QZT_FLASHBACK_ERROR", QZT_FLASHBACK_ERROR};
const D_LevelName_c qzLevelFlashbackWarning_{"QZT_FLASHBACK_WARNING", QZT_FLASHBACK_WARNING};
const D_LevelName_c qzLevelFlashbackInfo_{"QZT_FLASHBACK_INFO", QZT_FLASHBACK_INFO};
const D_LevelName_c qzLevelRedirected_{"QZT_REDIRECTED", QZT_REDIRECTED};
} // namespace
