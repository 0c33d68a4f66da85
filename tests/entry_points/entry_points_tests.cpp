// The launcher's resolver of the agent libraries' exports, against the
// stand-in libraries: where the library comes from, what is traced, who holds
// the library afterwards, and what the exports receive when called.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "testing/standin/standin_exports.h"
#include "testing/standin/standin_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <type_traits>

// The stand-ins are built from the same signatures the launcher calls through.
static_assert(std::is_same<decltype(&::CallCGCOFU), CqzElevateModule::PFN_CallCGCOFU>::value, "CallCGCOFU");
static_assert(std::is_same<decltype(&::ShowEBH), CqzElevateModule::PFN_ShowEBH>::value, "ShowEBH");
static_assert(std::is_same<decltype(&::QzToolExec), CqzElevateModule::PFN_QzToolExec>::value, "QzToolExec");
static_assert(std::is_same<decltype(&::ShowWB), CqzElevateModule::PFN_ShowWB>::value, "ShowWB");

namespace
{

using M = CqzElevateModule;

HMODULE const kUntouched = reinterpret_cast<HMODULE>(static_cast<INT_PTR>(0xdeadbeef));

enum class Lib
{
    Shex,
    Bho,
};

const wchar_t* FileOf(Lib lib)
{
    return lib == Lib::Shex ? L"qz_shex.dll" : L"qz_bho.dll";
}

FARPROC Resolve(Lib lib, const char* procName, HMODULE* handle)
{
    return lib == Lib::Shex ? M::_GetQzShexProc(M::QzShexDll{}, procName, handle)
                            : M::_GetQzShexProc(M::QzBhoDll{}, procName, handle);
}

std::string U8(const std::wstring& text)
{
    return qztest::ToUtf8(text);
}

std::wstring ModuleFile(HMODULE module)
{
    std::wstring path(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

HMODULE ModuleOfAddress(FARPROC proc)
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(proc), &module);
    return module;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The library a test resolved, freed at scope exit.
class LibraryGuard
{
public:
    explicit LibraryGuard(HMODULE& handle) : m_handle(handle) {}
    ~LibraryGuard()
    {
        if (m_handle && m_handle != kUntouched)
            ::FreeLibrary(m_handle);
    }
    LibraryGuard(const LibraryGuard&) = delete;
    LibraryGuard& operator=(const LibraryGuard&) = delete;

private:
    HMODULE& m_handle;
};

class CurrentDirectoryScope
{
public:
    explicit CurrentDirectoryScope(const std::wstring& dir)
    {
        wchar_t old[MAX_PATH + 1] = {};
        ::GetCurrentDirectoryW(MAX_PATH + 1, old);
        m_old = old;
        m_ok = ::SetCurrentDirectoryW(dir.c_str()) != FALSE;
    }
    ~CurrentDirectoryScope() { ::SetCurrentDirectoryW(m_old.c_str()); }
    CurrentDirectoryScope(const CurrentDirectoryScope&) = delete;
    CurrentDirectoryScope& operator=(const CurrentDirectoryScope&) = delete;
    bool Ok() const { return m_ok; }

private:
    std::wstring m_old;
    bool m_ok = false;
};

// Puts dir in front of PATH for this process (and the children it starts).
class PathPrefixScope
{
public:
    explicit PathPrefixScope(const std::wstring& dir)
    {
        std::wstring old(32767, L'\0');
        const DWORD n = ::GetEnvironmentVariableW(L"PATH", &old[0], static_cast<DWORD>(old.size()));
        m_had = n > 0 && n < old.size();
        old.resize(m_had ? n : 0);
        m_old = old;
        ::SetEnvironmentVariableW(L"PATH", (dir + L";" + m_old).c_str());
    }
    ~PathPrefixScope() { ::SetEnvironmentVariableW(L"PATH", m_had ? m_old.c_str() : nullptr); }
    PathPrefixScope(const PathPrefixScope&) = delete;
    PathPrefixScope& operator=(const PathPrefixScope&) = delete;

private:
    std::wstring m_old;
    bool m_had = false;
};

// The executable's own path, as the launcher asks for it, fails while a
// NoModuleDirScope lives.
FARPROC g_realGetModuleFileNameW = nullptr;

DWORD WINAPI NoOwnModuleFileName(HMODULE module, LPWSTR path, DWORD size)
{
    if (module == nullptr)
    {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return reinterpret_cast<DWORD(WINAPI*)(HMODULE, LPWSTR, DWORD)>(
        reinterpret_cast<void (*)()>(g_realGetModuleFileNameW))(module, path, size);
}

// Makes the launcher's directory unavailable to the resolver while it lives.
// A running executable always has a path under Wine, so the suite hooks its
// own import of GetModuleFileNameW (the launcher's code is linked into it)
// and fails the call for the executable itself; other modules still answer.
class NoModuleDirScope
{
public:
    NoModuleDirScope() : m_hook("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<void*>(&NoOwnModuleFileName))
    {
        g_realGetModuleFileNameW = reinterpret_cast<FARPROC>(m_hook.Original());
    }
    NoModuleDirScope(const NoModuleDirScope&) = delete;
    NoModuleDirScope& operator=(const NoModuleDirScope&) = delete;
    bool Installed() const { return m_hook.Installed(); }

private:
    qztest::IatHook m_hook;
};

// The line the launcher's path lookup traces while a NoModuleDirScope lives.
qztest::TraceEntry NoModuleDirLine()
{
    std::ostringstream handleText;
    handleText << static_cast<const void*>(nullptr);
    return {QZT_ERROR, "CqzUtil",
            "ERROR: GetModuleFileName(" + handleText.str() +
                ", charCount=1040) failed. LastError=" + std::to_string(ERROR_NOT_ENOUGH_MEMORY)};
}

// The resolver's own lines.
qztest::TraceEntry ModuleError(const std::string& text)
{
    return {QZT_ERROR, "CqzElevateModule", text};
}

bool CopyBuilt(const std::wstring& relative, const std::wstring& to)
{
    return ::CopyFileW((qztest::BinDir() + L"\\" + relative).c_str(), to.c_str(), FALSE) != FALSE;
}

// Resolves ShowEBH of libraryName with the launcher's directory unavailable.
// The handle lands in `handle` (the caller's guard frees it); `entries` gets
// what was traced meanwhile.
FARPROC ResolveWithoutDirectory(const wchar_t* libraryName, HMODULE& handle, qztest::TraceEntries& entries)
{
    qztest::TraceCapture capture;
    FARPROC proc = nullptr;
    {
        NoModuleDirScope noDir;
        EXPECT_TRUE(noDir.Installed());
        proc = M::_GetProcAddr(libraryName, "ShowEBH", &handle);
    }
    entries = capture.Entries();
    return proc;
}

// The export came from the library file `own`, held by `handle`.
void ExpectResolvedFrom(const std::wstring& own, FARPROC proc, HMODULE handle)
{
    ASSERT_NE(nullptr, proc);
    ASSERT_NE(nullptr, handle);
    EXPECT_TRUE(SamePath(own, ModuleFile(handle))) << U8(ModuleFile(handle));
    EXPECT_EQ(handle, ModuleOfAddress(proc));
}

struct ExportRow
{
    Lib lib;
    const char* name;
};

const ExportRow kExports[] = {
    {Lib::Bho, "CallCGCOFU"},
    {Lib::Shex, "ShowEBH"},
    {Lib::Shex, "QzToolExec"},
    {Lib::Bho, "ShowWB"},
};

TEST(GetQzShexProc, EachExportResolvesFromItsLibraryInTheLauncherDirectory)
{
    for (const ExportRow& row : kExports)
    {
        SCOPED_TRACE(row.name);
        qztest::TraceCapture capture;
        HMODULE handle = kUntouched;
        LibraryGuard guard(handle);
        FARPROC proc = Resolve(row.lib, row.name, &handle);

        ASSERT_NE(nullptr, proc);
        ASSERT_NE(nullptr, handle);
        ASSERT_NE(kUntouched, handle);
        EXPECT_TRUE(SamePath(qztest::BinDir() + L"\\" + FileOf(row.lib), ModuleFile(handle))) << U8(ModuleFile(handle));
        EXPECT_EQ(handle, ModuleOfAddress(proc));
        EXPECT_EQ(::GetProcAddress(handle, row.name), proc);
        EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
    }
}

TEST(GetQzShexProc, ExportOfTheOtherLibraryIsNotFoundAndItsLibraryStaysHeld)
{
    const ExportRow rows[] = {
        {Lib::Shex, "CallCGCOFU"},
        {Lib::Shex, "ShowWB"},
        {Lib::Bho, "ShowEBH"},
        {Lib::Bho, "QzToolExec"},
    };
    for (const ExportRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::wstring path = qztest::BinDir() + L"\\" + FileOf(row.lib);
        qztest::TraceCapture capture;
        HMODULE handle = kUntouched;
        FARPROC proc = nullptr;
        {
            LibraryGuard guard(handle);
            proc = Resolve(row.lib, row.name, &handle);

            EXPECT_EQ(nullptr, proc);
            ASSERT_NE(nullptr, handle);
            EXPECT_EQ(handle, ::GetModuleHandleW(path.c_str())) << "the library stays loaded for the caller";
            EXPECT_EQ(qztest::TraceEntries{ModuleError("ERROR: GetProcAddress(" + std::string(row.name) + ") from [" +
                                                       U8(path) + "] failed. LastError=127")},
                      capture.Entries());
        }
        EXPECT_EQ(nullptr, ::GetModuleHandleW(path.c_str())) << "one FreeLibrary releases it";
    }
}

TEST(GetProcAddr, MissingLibraryStoresNullHandleAndTracesTheLoadError)
{
    const std::wstring path = qztest::BinDir() + L"\\qz_no_such_agent_library.dll";
    ASSERT_FALSE(qztest::FileExists(path));
    // The error the system gives for this load, documented as ERROR_MOD_NOT_FOUND.
    ::SetLastError(0);
    ASSERT_EQ(nullptr, ::LoadLibraryW(path.c_str()));
    const DWORD systemError = ::GetLastError();
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), systemError);

    qztest::TraceCapture capture;
    HMODULE handle = kUntouched;
    ::SetLastError(0xdeadbeef);
    FARPROC proc = M::_GetProcAddr(L"qz_no_such_agent_library.dll", "ShowEBH", &handle);
    const DWORD lastError = ::GetLastError();

    EXPECT_EQ(nullptr, proc);
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(qztest::TraceEntries{ModuleError("ERROR: LoadLibrary(" + U8(path) +
                                               ") failed. LastError=" + std::to_string(systemError))},
              capture.Entries());
    EXPECT_EQ(systemError, lastError) << "the trace statement keeps the load's error for the caller";
}

TEST(GetProcAddr, LibraryWithoutTheExportStaysLoadedForTheCallerToFree)
{
    const struct
    {
        const wchar_t* variant;
        const char* missing;
        const char* present;
    } rows[] = {
        {qztest::kShexWithoutShowEBH, "ShowEBH", "QzToolExec"},
        {qztest::kBhoWithoutShowWB, "ShowWB", "CallCGCOFU"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.missing);
        const std::wstring path = qztest::BinDir() + L"\\" + row.variant;
        ASSERT_TRUE(qztest::FileExists(path)) << U8(path);
        qztest::TraceCapture capture;
        HMODULE handle = kUntouched;
        ::SetLastError(0xdeadbeef);
        FARPROC proc = M::_GetProcAddr(row.variant, row.missing, &handle);
        const DWORD lastError = ::GetLastError();

        EXPECT_EQ(nullptr, proc);
        ASSERT_NE(nullptr, handle);
        ASSERT_NE(kUntouched, handle);
        EXPECT_EQ(handle, ::GetModuleHandleW(path.c_str()));
        EXPECT_NE(nullptr, ::GetProcAddress(handle, row.present)) << "it is the variant that was loaded";
        EXPECT_EQ(qztest::TraceEntries{ModuleError("ERROR: GetProcAddress(" + std::string(row.missing) + ") from [" +
                                                   U8(path) + "] failed. LastError=127")},
                  capture.Entries());
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), lastError);

        ASSERT_TRUE(::FreeLibrary(handle));
        EXPECT_EQ(nullptr, ::GetModuleHandleW(path.c_str())) << "the resolver kept no reference of its own";
    }
}

TEST(GetProcAddr, RefusesMissingArgumentsWithoutLoadingAnything)
{
    const std::wstring shex = qztest::BinDir() + L"\\qz_shex.dll";
    ASSERT_EQ(nullptr, ::GetModuleHandleW(shex.c_str()));
    const struct
    {
        const char* row;
        const wchar_t* library;
        const char* proc;
        bool withHandle;
        const char* line;
    } rows[] = {
        {"no handle address", L"qz_shex.dll", "ShowEBH", false,
         "ERROR: _GetProcAddr called without a library handle address."},
        {"null library name", nullptr, "ShowEBH", true, "ERROR: _GetProcAddr called without a library name."},
        {"empty library name", L"", "ShowEBH", true, "ERROR: _GetProcAddr called without a library name."},
        {"null export name", L"qz_shex.dll", nullptr, true,
         "ERROR: _GetProcAddr(qz_shex.dll) called without an export name."},
        {"ordinal", L"qz_shex.dll", MAKEINTRESOURCEA(1), true,
         "ERROR: _GetProcAddr(qz_shex.dll) called without an export name."},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.row);
        qztest::TraceCapture capture;
        HMODULE handle = kUntouched;
        EXPECT_EQ(nullptr, M::_GetProcAddr(row.library, row.proc, row.withHandle ? &handle : nullptr));
        if (row.withHandle)
            EXPECT_EQ(nullptr, handle);
        else
            EXPECT_EQ(kUntouched, handle);
        EXPECT_EQ(qztest::TraceEntries{ModuleError(row.line)}, capture.Entries());
        EXPECT_EQ(nullptr, ::GetModuleHandleW(shex.c_str()));
    }
}

// Without its directory the resolver must not fall back to the plain search:
// a library planted in the current directory or on PATH is never loaded.
TEST(GetProcAddrWithoutLauncherDirectory, LibraryPlantedInCurrentDirectoryOrPathIsNotLoaded)
{
    const wchar_t* const planted = L"qz_planted_agent_library.dll";
    qztest::TempDir cwdDir(L"qzcwd");
    qztest::TempDir pathDir(L"qzpath");
    ASSERT_TRUE(CopyBuilt(L"qz_shex.dll", cwdDir / planted));
    ASSERT_TRUE(CopyBuilt(L"qz_shex.dll", pathDir / L"qz_planted_on_path.dll"));
    CurrentDirectoryScope cwd(cwdDir.Path());
    ASSERT_TRUE(cwd.Ok());
    PathPrefixScope path(pathDir.Path());
    // With the plant's imports loaded already, only the search can keep it out.
    HMODULE ole32 = ::LoadLibraryW(L"ole32.dll");
    ASSERT_NE(nullptr, ole32);
    LibraryGuard ole32Guard(ole32);

    for (const wchar_t* name : {planted, L"qz_planted_on_path.dll"})
    {
        SCOPED_TRACE(U8(name));
        // The plain search would take the plant: the setup is a real attack.
        HMODULE plain = ::LoadLibraryW(name);
        ASSERT_NE(nullptr, plain) << "the plain library search should find the planted copy";
        ::FreeLibrary(plain);
        ASSERT_EQ(nullptr, ::GetModuleHandleW(name));

        HMODULE handle = kUntouched;
        LibraryGuard guard(handle);
        qztest::TraceEntries entries;
        FARPROC proc = ResolveWithoutDirectory(name, handle, entries);

        EXPECT_EQ(nullptr, proc);
        EXPECT_EQ(nullptr, handle);
        EXPECT_EQ(nullptr, ::GetModuleHandleW(name));
        EXPECT_EQ((qztest::TraceEntries{NoModuleDirLine(),
                                        ModuleError("ERROR: LoadLibrary(" + U8(name) +
                                                    ") failed. LastError=" + std::to_string(ERROR_MOD_NOT_FOUND))}),
                  entries);
    }
}

TEST(GetProcAddrWithoutLauncherDirectory, BareNameLoadsFromTheApplicationDirectory)
{
    const std::wstring own = qztest::BinDir() + L"\\qz_shex.dll";
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"qz_shex.dll"));
    qztest::TempDir cwdDir(L"qzcwd");
    ASSERT_TRUE(CopyBuilt(qztest::kShexWithoutShowEBH, cwdDir / L"qz_shex.dll"));
    CurrentDirectoryScope cwd(cwdDir.Path());
    ASSERT_TRUE(cwd.Ok());
    PathPrefixScope path(cwdDir.Path());

    // The search flag applies to the library's own imports as well. The
    // launcher resolves after OLE is initialised, so the stand-in's one
    // import beyond kernel32 and msvcrt is loaded already; Windows would take
    // it from its known DLLs anyway, Wine only finds it loaded.
    HMODULE ole32 = ::LoadLibraryW(L"ole32.dll");
    ASSERT_NE(nullptr, ole32);
    LibraryGuard ole32Guard(ole32);

    HMODULE handle = kUntouched;
    LibraryGuard guard(handle);
    qztest::TraceEntries entries;
    FARPROC proc = ResolveWithoutDirectory(L"qz_shex.dll", handle, entries);

    ASSERT_NO_FATAL_FAILURE(ExpectResolvedFrom(own, proc, handle));
    EXPECT_EQ(qztest::TraceEntries{NoModuleDirLine()}, entries);
}

// The search flags govern the library's own imports too. A stand-in that
// imports a system DLL not loaded yet (winhttp.dll, which nothing in this
// process loads) needs System32 in the search: from the application
// directory alone its load fails for want of that import.
TEST(GetProcAddrWithoutLauncherDirectory, LibraryImportingAnUnloadedSystemDllLoads)
{
    const wchar_t* const name = L"qz_shex_imports_winhttp.dll";
    const std::wstring own = qztest::BinDir() + L"\\" + name;
    ASSERT_TRUE(qztest::FileExists(own)) << U8(own);
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"winhttp.dll")) << "winhttp.dll is loaded already: the case is not shown";
    ASSERT_EQ(nullptr, ::GetModuleHandleW(name));

    // What the application directory alone gives: the system's search of the
    // import stops there, where winhttp.dll is not.
    HMODULE appDirOnly = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    const DWORD appDirOnlyError = ::GetLastError();
    if (appDirOnly != nullptr)
        ::FreeLibrary(appDirOnly);
    EXPECT_EQ(nullptr, appDirOnly) << "the stand-in loaded from the application directory alone";
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), appDirOnlyError);
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"winhttp.dll"));

    HMODULE handle = kUntouched;
    LibraryGuard guard(handle);
    qztest::TraceEntries entries;
    FARPROC proc = ResolveWithoutDirectory(name, handle, entries);

    ASSERT_NO_FATAL_FAILURE(ExpectResolvedFrom(own, proc, handle));
    EXPECT_NE(nullptr, ::GetModuleHandleW(L"winhttp.dll")) << "the stand-in's import came from System32";
    EXPECT_EQ(qztest::TraceEntries{NoModuleDirLine()}, entries);
}

// --- the resolver in a copied installation, through the probe program ---

const std::vector<std::wstring> kProbeFiles = qztest::WithRuntime({L"entry_points_probe.exe", L"qztrace.dll"});

struct ProbeResult
{
    qztest::ProcessResult process;
    qztest::KeyValues values;
    qztest::TraceEntries trace;

    std::string Value(const std::string& key) const { return values.Get(key); }
};

// Runs the probe copied into install with the given current directory.
ProbeResult RunProbe(const qztest::AgentInstall& install, const std::wstring& cwd,
                     const std::vector<std::wstring>& args)
{
    qztest::TempDir resultDir(L"qzprobe");
    const std::wstring resultFile = resultDir / L"result.txt";
    const std::wstring exe = install.BinDir() + L"\\entry_points_probe.exe";
    std::wstring cmd = qztest::QuoteArg(exe) + L" " + qztest::QuoteArg(resultFile);
    for (const std::wstring& arg : args)
        cmd += L" " + qztest::QuoteArg(arg);
    qztest::RunOptions options;
    options.cwd = cwd.c_str();
    ProbeResult result;
    result.process = qztest::RunProcess(exe, cmd, options);
    result.values = qztest::ReadKeyValues(resultFile);
    for (const std::string& line : result.values.All("trace"))
    {
        qztest::TraceEntry entry;
        if (!qztest::TraceCapture::ParseLine(line, entry))
            entry.text = "(unparsed) " + line;
        result.trace.push_back(entry);
    }
    return result;
}

#define ASSERT_PROBE_RAN(result)                                                                                       \
    ASSERT_TRUE((result).process.started) << "error " << (result).process.error;                                       \
    ASSERT_TRUE((result).process.finished);                                                                            \
    ASSERT_EQ(0u, (result).process.exitCode)

TEST(ResolverInInstallation, LoadsFromItsOwnDirectoryNotTheCurrentDirectoryOrPath)
{
    qztest::AgentInstall install;
    ASSERT_TRUE(install.CopyFromBuild(kProbeFiles));
    ASSERT_TRUE(install.CopyFromBuild(qztest::kStandinDlls));
    // Same file names, lacking the very exports asked for, where the plain
    // search would look first.
    qztest::TempDir planted(L"qzplant");
    ASSERT_TRUE(CopyBuilt(qztest::kShexWithoutShowEBH, planted / L"qz_shex.dll"));
    ASSERT_TRUE(CopyBuilt(qztest::kBhoWithoutShowWB, planted / L"qz_bho.dll"));
    PathPrefixScope path(planted.Path());

    for (const ExportRow& row : kExports)
    {
        SCOPED_TRACE(row.name);
        ProbeResult r = RunProbe(install, planted.Path(),
                                 {row.lib == Lib::Shex ? L"shex" : L"bho", qztest::FromUtf8(row.name), L"resolve"});
        ASSERT_PROBE_RAN(r);
        const std::string own = U8(install.BinDir() + L"\\" + FileOf(row.lib));
        EXPECT_EQ("1", r.Value("proc"));
        EXPECT_EQ(own, r.Value("module"));
        EXPECT_EQ(own, r.Value("procmodule"));
        EXPECT_EQ("1", r.Value("freed"));
        EXPECT_EQ(qztest::TraceEntries{}, r.trace);
    }
}

TEST(ResolverInInstallation, MissingLibraryIsTracedWithItsFullPath)
{
    qztest::AgentInstall install;
    ASSERT_TRUE(install.CopyFromBuild(kProbeFiles));
    // A copy in the current directory must not stand in for the missing one.
    qztest::TempDir planted(L"qzplant");
    ASSERT_TRUE(CopyBuilt(L"qz_shex.dll", planted / L"qz_shex.dll"));
    ASSERT_TRUE(CopyBuilt(L"qz_bho.dll", planted / L"qz_bho.dll"));

    for (const ExportRow& row : kExports)
    {
        SCOPED_TRACE(row.name);
        ProbeResult r = RunProbe(install, planted.Path(),
                                 {row.lib == Lib::Shex ? L"shex" : L"bho", qztest::FromUtf8(row.name), L"resolve"});
        ASSERT_PROBE_RAN(r);
        EXPECT_EQ("0", r.Value("proc"));
        EXPECT_EQ("0", r.Value("handle"));
        EXPECT_EQ(
            qztest::TraceEntries{ModuleError("ERROR: LoadLibrary(" + U8(install.BinDir() + L"\\" + FileOf(row.lib)) +
                                             ") failed. LastError=" + std::to_string(ERROR_MOD_NOT_FOUND))},
            r.trace);
    }
}

TEST(ResolverInInstallation, InstalledLibraryLackingTheExportIsHeldThenFreed)
{
    qztest::AgentInstall install;
    ASSERT_TRUE(install.CopyFromBuild(kProbeFiles));
    ASSERT_TRUE(CopyBuilt(qztest::kShexWithoutShowEBH, install.BinDir() + L"\\qz_shex.dll"));
    ASSERT_TRUE(CopyBuilt(qztest::kBhoWithoutShowWB, install.BinDir() + L"\\qz_bho.dll"));

    const ExportRow rows[] = {{Lib::Shex, "ShowEBH"}, {Lib::Bho, "ShowWB"}};
    for (const ExportRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ProbeResult r = RunProbe(install, install.Root(),
                                 {row.lib == Lib::Shex ? L"shex" : L"bho", qztest::FromUtf8(row.name), L"resolve"});
        ASSERT_PROBE_RAN(r);
        const std::string own = U8(install.BinDir() + L"\\" + FileOf(row.lib));
        EXPECT_EQ("0", r.Value("proc"));
        EXPECT_EQ("1", r.Value("handle"));
        EXPECT_EQ(own, r.Value("module"));
        EXPECT_EQ("1", r.Value("heldafterfailure"));
        EXPECT_EQ("1", r.Value("freed"));
        EXPECT_EQ(qztest::TraceEntries{ModuleError("ERROR: GetProcAddress(" + std::string(row.name) + ") from [" + own +
                                                   "] failed. LastError=127")},
                  r.trace);
    }
}

TEST(ResolverInInstallation, CalledExportsReceiveTheArgumentsAndReturnTheChosenResult)
{
    qztest::AgentInstall install;
    ASSERT_TRUE(install.CopyFromBuild(kProbeFiles));
    ASSERT_TRUE(install.CopyFromBuild(qztest::kStandinDlls));
    using A = qztest::StandinArg;
    const std::wstring unicode = L"C:\\D\u00fcnn \u20ac\\\U0001F600 \"q\"";

    const struct
    {
        const char* row;
        Lib lib;
        const wchar_t* name;
        const wchar_t* mode;
        std::vector<std::wstring> args;
        bool chooseResult;
        HRESULT result;
        const char* apartment;
        std::vector<A> expected;
    } rows[] = {
        {"ShowEBH, OLE, default result",
         Lib::Shex,
         L"ShowEBH",
         L"ole",
         {L"C:\\Program Files\\Some Dir"},
         false,
         S_OK,
         "main-STA",
         {A::Text(L"C:\\Program Files\\Some Dir")}},
        {"ShowEBH, no COM, unicode",
         Lib::Shex,
         L"ShowEBH",
         L"none",
         {unicode},
         true,
         S_FALSE,
         "uninitialised",
         {A::Text(unicode.c_str())}},
        {"QzToolExec with entries after the tool, MTA",
         Lib::Shex,
         L"QzToolExec",
         L"mta",
         {L"tool.exe", L"5", L"6", L"-a", L"b c", L"\u00fc"},
         true,
         static_cast<HRESULT>(0x80070002),
         "MTA",
         {A::Text(L"tool.exe"), A::Int(5), A::Int(6), A::Vector({L"-a", L"b c", L"\u00fc", std::nullopt})}},
        {"QzToolExec with the tool alone: the terminator",
         Lib::Shex,
         L"QzToolExec",
         L"ole",
         {L"tool.exe", L"0", L"3"},
         false,
         S_OK,
         "main-STA",
         {A::Text(L"tool.exe"), A::Int(0), A::Int(3), A::Vector({std::nullopt})}},
        {"ShowWB with the flag, second STA",
         Lib::Bho,
         L"ShowWB",
         L"sta-thread",
         {L"https://example.test/a?b=c", L"1"},
         true,
         E_FAIL,
         "STA",
         {A::Text(L"https://example.test/a?b=c"), A::Bool(1)}},
        {"ShowWB without the flag",
         Lib::Bho,
         L"ShowWB",
         L"ole",
         {L"about:blank", L"0"},
         false,
         S_OK,
         "main-STA",
         {A::Text(L"about:blank"), A::Bool(0)}},
        {"CallCGCOFU", Lib::Bho, L"CallCGCOFU", L"ole", {}, true, static_cast<HRESULT>(0x80070005), "main-STA", {}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.row);
        const std::wstring dir = install.BinDir();
        ASSERT_TRUE(qztest::ClearStandinCalls(dir));
        ASSERT_TRUE(row.chooseResult ? qztest::SetStandinResult(dir, row.result) : qztest::ClearStandinResult(dir));

        std::vector<std::wstring> args = {row.lib == Lib::Shex ? L"shex" : L"bho", row.name, row.mode};
        args.insert(args.end(), row.args.begin(), row.args.end());
        ProbeResult r = RunProbe(install, install.Root(), args);
        ASSERT_PROBE_RAN(r);
        char hr[16];
        std::snprintf(hr, sizeof(hr), "0x%08lX", static_cast<unsigned long>(row.result));
        EXPECT_EQ(hr, r.Value("hr")) << "the export's result reaches the caller unchanged";
        EXPECT_EQ("1", r.Value("freed"));

        std::vector<qztest::StandinCall> calls;
        std::string error;
        ASSERT_TRUE(qztest::ReadStandinCalls(dir, calls, &error)) << error;
        ASSERT_EQ(1u, calls.size());
        const qztest::StandinCall& call = calls[0];
        EXPECT_EQ(U8(row.name), call.exportName);
        EXPECT_EQ(row.apartment, call.apartment);
        EXPECT_EQ(r.process.pid, call.pid);
        EXPECT_EQ(row.result, call.result);
        EXPECT_EQ(row.expected, call.args);
    }
}

} // namespace
