// Stand-in agent libraries for the suites, and the reader of what they record.
//
// Built into the bin directory:
//   qz_shex.dll  exports ShowEBH, QzToolExec
//   qz_bho.dll   exports CallCGCOFU, ShowWB
// and, same file names in their own directories, variants that lack one
// export ("loaded but not exported"):
//   variants\qz_shex_without_ShowEBH\qz_shex.dll   (QzToolExec only)
//   variants\qz_bho_without_ShowWB\qz_bho.dll      (CallCGCOFU only)
// They import system DLLs and the build's shared libgcc DLL that lies beside
// every binary of the build (an agent installation ships it with the launcher).
//
// The libraries are loaded inside whatever process the test starts (the
// launcher, a probe, a service), so they talk to the test through two files
// in the directory of the DLL itself:
//
// <dll dir>\qz_standin.hresult  the result every export returns: one hex
//   number, "0x" optional, white space around it allowed ("0x80004005\n").
//   No file: S_OK. A file that cannot be read or holds anything else:
//   E_UNEXPECTED (0x8000FFFF). Read at every call.
//
// <dll dir>\qz_standin.calls  one UTF-8 line appended per call (one write
//   under a file lock, so concurrent calls, even from several processes, do
//   not interleave), fields separated by one tab:
//     export  apartment  pid  tid  result  argument...
//   export     "CallCGCOFU", "ShowEBH", "QzToolExec" or "ShowWB"
//   apartment  of the calling thread by CoGetApartmentType: "STA", "MTA",
//              "NA", "main-STA", "implicit-MTA" (not initialised, but an MTA
//              exists in the process), "uninitialised" (CO_E_NOTINITIALIZED),
//              "error:0xHHHHHHHH" or "type:N" for anything else
//   pid, tid   decimal ids of the calling process and thread
//   result     the returned HRESULT, "0x" and eight upper-case hex digits
//   arguments, in parameter order:
//     "s:" text  a wide string; "s-" a null pointer. The text is UTF-8 with
//                these escapes: \\ \t \n \r, \xHH for any other code unit
//                below 0x20 and for 0x7F, \uHHHH for a surrogate without
//                its partner (so every UTF-16 string comes back exactly)
//     "i:" N     an int, decimal
//     "b:" N     a bool: its byte as received, decimal (1 true, 0 false)
//     "v:" N     QzToolExec's vector: N entries follow as "s:"/"s-" fields,
//                entries 0 to count-3 (the arguments after the tool and the
//                slot of the terminator), stopping after the first null;
//                "v-" for a null vector pointer
//   Per export: CallCGCOFU none; ShowEBH s; QzToolExec s i i v...; ShowWB s b.
//   Example: "ShowWB\tmain-STA\t288\t292\t0x00000000\ts:https://a/\\b\tb:1"
#pragma once

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qztest
{

extern const wchar_t* const kStandinCallsFile;  // qz_standin.calls
extern const wchar_t* const kStandinResultFile; // qz_standin.hresult

// Variant DLL paths relative to the bin directory.
extern const wchar_t* const kShexWithoutShowEBH; // variants\qz_shex_without_ShowEBH\qz_shex.dll
extern const wchar_t* const kBhoWithoutShowWB;   // variants\qz_bho_without_ShowWB\qz_bho.dll

// The stand-in DLL file names (qz_shex.dll, qz_bho.dll): all there is to copy
// for a working set in another directory.
extern const std::vector<std::wstring> kStandinDlls;

// One recorded argument.
struct StandinArg
{
    enum class Kind
    {
        Text,   // "s:" / "s-"
        Int,    // "i:"
        Bool,   // "b:"
        Vector, // "v:" / "v-"
    };
    Kind kind = Kind::Text;
    std::optional<std::wstring> text;                 // Text: nullopt for a null pointer
    long long number = 0;                             // Int: the value; Bool: the raw byte
    bool vectorPresent = false;                       // Vector: false for a null pointer
    std::vector<std::optional<std::wstring>> entries; // Vector: the entries recorded

    static StandinArg Text(const wchar_t* text);
    static StandinArg Int(int value);
    static StandinArg Bool(unsigned char rawByte);
    static StandinArg Vector(std::vector<std::optional<std::wstring>> entries);
    static StandinArg NullVector();

    bool operator==(const StandinArg& other) const;
    bool operator!=(const StandinArg& other) const { return !(*this == other); }
};

// One recorded call.
struct StandinCall
{
    std::string exportName;
    std::string apartment;
    DWORD pid = 0;
    DWORD tid = 0;
    HRESULT result = S_OK;
    std::vector<StandinArg> args;
};

// Readable forms for assertion messages.
std::string Describe(const StandinArg& arg);
std::string Describe(const StandinCall& call);
void PrintTo(const StandinArg& arg, std::ostream* os);
void PrintTo(const StandinCall& call, std::ostream* os);

// Parses one line (without its "\n"); false with a reason when it is not a
// well-formed record.
bool ParseStandinLine(const std::string& line, StandinCall& call, std::string* error = nullptr);

// Every call recorded in dllDir, in order. No file: true and no calls. A line
// that does not parse: false, with the line number and reason in error.
bool ReadStandinCalls(const std::wstring& dllDir, std::vector<StandinCall>& calls, std::string* error = nullptr);

// Chooses the result of every export loaded from dllDir ("0x%08X\n").
bool SetStandinResult(const std::wstring& dllDir, HRESULT result);
// Back to S_OK; and forgetting the calls recorded so far.
bool ClearStandinResult(const std::wstring& dllDir);
bool ClearStandinCalls(const std::wstring& dllDir);

} // namespace qztest
