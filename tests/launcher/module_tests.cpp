// The module framework the launcher is built on, in-process: the module state
// from construction, the six operations, the destructor's order, WinMain's
// handling of COM initialisation (the apartment clash with "Mscoree.dll"
// loaded included), the registration scan, and the launcher's module itself
// in a thread whose apartment is already chosen.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"
#include "common/atl/exe_module.h"
#include "tests/launcher/module_peer.h"

#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

// Every module the suite constructs records into this.
std::vector<std::string> g_events;

// ---------------------------------------------------------------------------
// A module whose COM initialisation, dispatch and registration are scripted.

class ScriptedModule : public CAtlExeModuleT<ScriptedModule>
{
public:
    static HRESULT s_initializeResult;
    static std::function<HRESULT()> s_initialize; // when set, used instead of s_initializeResult
    static std::function<void()> s_uninitialize;
    static HRESULT s_runResult;
    static HRESULT s_registerResult;

    static HRESULT InitializeCom()
    {
        g_events.push_back("InitializeCom");
        return s_initialize ? s_initialize() : s_initializeResult;
    }
    static void UninitializeCom()
    {
        g_events.push_back("UninitializeCom");
        if (s_uninitialize)
            s_uninitialize();
    }
    HRESULT Run(int nShowCmd)
    {
        g_events.push_back("Run(" + std::to_string(nShowCmd) + ")");
        return s_runResult;
    }
    HRESULT RegisterServer(BOOL bRegTypeLib, const CLSID* = nullptr)
    {
        g_events.push_back(std::string("RegisterServer(") + (bRegTypeLib ? "TRUE" : "FALSE") +
                           (AtlGetPerUserRegistration() ? ", per user)" : ")"));
        return s_registerResult;
    }
    HRESULT UnregisterServer(BOOL bUnRegTypeLib, const CLSID* = nullptr)
    {
        g_events.push_back(std::string("UnregisterServer(") + (bUnRegTypeLib ? "TRUE" : "FALSE") +
                           (AtlGetPerUserRegistration() ? ", per user)" : ")"));
        return s_registerResult;
    }

    static void Reset()
    {
        g_events.clear();
        s_initializeResult = S_OK;
        s_initialize = nullptr;
        s_uninitialize = nullptr;
        s_runResult = S_OK;
        s_registerResult = S_OK;
        AtlSetPerUserRegistration(false);
    }
};

HRESULT ScriptedModule::s_initializeResult = S_OK;
std::function<HRESULT()> ScriptedModule::s_initialize;
std::function<void()> ScriptedModule::s_uninitialize;
HRESULT ScriptedModule::s_runResult = S_OK;
HRESULT ScriptedModule::s_registerResult = S_OK;

// A module with a (fake) object map of two classes.
void WINAPI ObjectMainA(bool starting)
{
    g_events.push_back(std::string("A.ObjectMain(") + (starting ? "start" : "end") + ")");
}
void WINAPI ObjectMainB(bool starting)
{
    g_events.push_back(std::string("B.ObjectMain(") + (starting ? "start" : "end") + ")");
}

// A class factory that only counts its releases.
class FakeFactory : public IUnknown
{
public:
    explicit FakeFactory(const char* name) : m_name(name) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        g_events.push_back(std::string(m_name) + ".Release");
        return 1;
    }

private:
    const char* m_name;
};

FakeFactory g_factoryA("A.factory");
FakeFactory g_factoryB("B.factory");
_ATL_OBJMAP_ENTRY g_objectMap[2];

class MappedModule : public CAtlExeModuleT<MappedModule>
{
public:
    static _ATL_OBJMAP_ENTRY* ObjectMapBegin() { return g_objectMap; }
    static _ATL_OBJMAP_ENTRY* ObjectMapEnd() { return g_objectMap + 2; }
    HRESULT Run(int) { return S_OK; }
};

void __stdcall TermFunc(DWORD_PTR dw)
{
    g_events.push_back("term(" + std::to_string(dw) + ")");
}

class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ScriptedModule::Reset();
        CAtlModule::m_bInitFailed = false;
    }
    void TearDown() override
    {
        CAtlModule::m_bInitFailed = false;
        AtlSetPerUserRegistration(false);
    }
};

// ---------------------------------------------------------------------------
// State after construction.

TEST_F(ModuleTest, ConstructionGivesTheInitialState)
{
    ScriptedModule module;
    EXPECT_EQ(sizeof(_ATL_MODULE70), module.cbSize);
    EXPECT_EQ(0, module.m_nLockCnt);
    EXPECT_EQ(nullptr, module.m_pTermFuncs);
    EXPECT_EQ(nullptr, module.m_pGIT);
    EXPECT_EQ(::GetCurrentThreadId(), module.m_dwMainThreadID);
    EXPECT_EQ(nullptr, module.m_hEventShutdown);
    EXPECT_EQ(5000u, module.m_dwTimeOut);
    EXPECT_EQ(1000u, module.m_dwPause);
    EXPECT_TRUE(module.m_bDelayShutdown);
    EXPECT_FALSE(module.m_bActivity);
    EXPECT_FALSE(module.m_bComInitialized);
    EXPECT_FALSE(CAtlModule::m_bInitFailed);
    EXPECT_EQ(&module, _pAtlModule);
    EXPECT_EQ(0, module.GetLockCount());
}

TEST_F(ModuleTest, StateFieldsAreInDeclarationOrder)
{
    ScriptedModule module;
    const char* const order[] = {
        reinterpret_cast<const char*>(&module.cbSize),
        reinterpret_cast<const char*>(&module.m_nLockCnt),
        reinterpret_cast<const char*>(&module.m_pTermFuncs),
        reinterpret_cast<const char*>(&module.m_csStaticDataInitAndTypeInfo),
        reinterpret_cast<const char*>(&module.m_pGIT),
        reinterpret_cast<const char*>(&module.m_dwMainThreadID),
        reinterpret_cast<const char*>(&module.m_hEventShutdown),
        reinterpret_cast<const char*>(&module.m_dwTimeOut),
        reinterpret_cast<const char*>(&module.m_dwPause),
        reinterpret_cast<const char*>(&module.m_bDelayShutdown),
        reinterpret_cast<const char*>(&module.m_bActivity),
        reinterpret_cast<const char*>(&module.m_bComInitialized),
    };
    for (size_t i = 1; i < sizeof(order) / sizeof(order[0]); ++i)
        EXPECT_LT(order[i - 1], order[i]) << "field " << i;
    EXPECT_EQ(0u, offsetof(_ATL_MODULE70, cbSize));
}

TEST_F(ModuleTest, TheLaunchersModuleIsOneOfThem)
{
    CqzElevateModule module;
    EXPECT_EQ(sizeof(_ATL_MODULE70), module.cbSize);
    EXPECT_FALSE(module.m_bComInitialized);
    EXPECT_EQ(5000u, module.m_dwTimeOut);
    CAtlModule* base = &module;
    EXPECT_EQ(base, _pAtlModule);
}

// ---------------------------------------------------------------------------
// The module cannot start. InitializeCriticalSectionEx without a spin count or
// flags does not fail on a working system, Wine's included, so the suite
// hooks its own import of it (the framework is linked into this executable)
// while one module is constructed.

BOOL WINAPI FailOutOfMemory(LPCRITICAL_SECTION, DWORD, DWORD)
{
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

BOOL WINAPI FailWithoutCode(LPCRITICAL_SECTION, DWORD, DWORD)
{
    ::SetLastError(ERROR_SUCCESS);
    return FALSE;
}

TEST_F(ModuleTest, StaticDataLockFailureLeavesTheModuleUnstartedAndWinMainReturnsMinusOne)
{
    const struct
    {
        const char* name;
        BOOL(WINAPI* initializer)(LPCRITICAL_SECTION, DWORD, DWORD);
    } rows[] = {
        {"ERROR_NOT_ENOUGH_MEMORY", &FailOutOfMemory},
        // A failure that leaves no error code is a failure too: the section
        // does not exist.
        {"no error code", &FailWithoutCode},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        ScriptedModule::Reset();
        CAtlModule::m_bInitFailed = false;
        auto hook = std::make_unique<qztest::IatHook>("kernel32.dll", "InitializeCriticalSectionEx",
                                                      reinterpret_cast<void*>(row.initializer));
        ASSERT_TRUE(hook->Installed());
        {
            ScriptedModule module;
            hook.reset();
            EXPECT_EQ(0u, module.cbSize);
            EXPECT_TRUE(CAtlModule::m_bInitFailed);
            // The rest of the state is set all the same.
            EXPECT_EQ(5000u, module.m_dwTimeOut);
            EXPECT_EQ(-1, module.WinMain(SW_SHOW));
            EXPECT_EQ(std::vector<std::string>{}, g_events) << "COM or Run touched";
            EXPECT_EQ(E_UNEXPECTED, module.AddTermFunc(&TermFunc, 1));
            IGlobalInterfaceTable* git = reinterpret_cast<IGlobalInterfaceTable*>(1);
            EXPECT_EQ(E_UNEXPECTED, module.GetGITPtr(&git));
            EXPECT_EQ(nullptr, git);
        } // the destructor must not touch the section that does not exist
        EXPECT_EQ(std::vector<std::string>{}, g_events);
    }
}

// ---------------------------------------------------------------------------
// WinMain and COM initialisation.

TEST_F(ModuleTest, WinMainInitialisesComScansThenRunsAndUninitialises)
{
    const struct
    {
        const char* name;
        HRESULT initialize;
        HRESULT run;
        int expected;
        std::vector<std::string> events;
    } rows[] = {
        {"S_OK", S_OK, S_OK, 0, {"InitializeCom", "Run(7)", "UninitializeCom"}},
        {"S_FALSE (already initialised alike)", S_FALSE, 42, 42, {"InitializeCom", "Run(7)", "UninitializeCom"}},
        {"Run's failure",
         S_OK,
         E_ACCESSDENIED,
         static_cast<int>(E_ACCESSDENIED),
         {"InitializeCom", "Run(7)", "UninitializeCom"}},
        {"E_OUTOFMEMORY", E_OUTOFMEMORY, S_OK, static_cast<int>(E_OUTOFMEMORY), {"InitializeCom"}},
        {"RPC_E_CHANGED_MODE without Mscoree.dll",
         RPC_E_CHANGED_MODE,
         S_OK,
         static_cast<int>(RPC_E_CHANGED_MODE),
         {"InitializeCom"}},
    };
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"Mscoree.dll")) << "a module of that name is loaded already";
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        ScriptedModule::Reset();
        ScriptedModule::s_initializeResult = row.initialize;
        ScriptedModule::s_runResult = row.run;
        ScriptedModule module;
        // This test's own command line holds no registration word.
        EXPECT_EQ(row.expected, module.WinMain(7));
        EXPECT_EQ(row.events, g_events);
        EXPECT_FALSE(module.m_bComInitialized);
    }
}

TEST_F(ModuleTest, TheComInitialisedFlagHoldsUntilComIsUninitialised)
{
    ScriptedModule module;
    bool flagDuringUninitialize = false;
    ScriptedModule::s_uninitialize = [&] { flagDuringUninitialize = module.m_bComInitialized; };
    EXPECT_EQ(0, module.WinMain(SW_SHOW));
    EXPECT_TRUE(flagDuringUninitialize);
}

// The launcher's own module in a thread whose apartment is already the
// multithreaded one: OleInitialize answers RPC_E_CHANGED_MODE for real.
// Returns WinMain's result and the apartment left after it, or an error.
struct ClashOutcome
{
    int result = 0;
    HRESULT preInit = E_FAIL;
    APTTYPE apartmentAfter = APTTYPE_CURRENT;
    HRESULT apartmentQuery = E_FAIL;
};

ClashOutcome RunLauncherModuleInMta()
{
    ClashOutcome outcome;
    std::thread thread(
        [&]
        {
            outcome.preInit = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                CqzElevateModule module;
                outcome.result = module.WinMain(SW_SHOW);
            }
            APTTYPEQUALIFIER qualifier;
            outcome.apartmentQuery = ::CoGetApartmentType(&outcome.apartmentAfter, &qualifier);
            if (SUCCEEDED(outcome.preInit))
                ::CoUninitialize();
        });
    thread.join();
    return outcome;
}

TEST_F(ModuleTest, ApartmentClashWithoutMscoreeEndsWithTheClash)
{
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"Mscoree.dll"));
    const ClashOutcome outcome = RunLauncherModuleInMta();
    ASSERT_EQ(S_OK, outcome.preInit);
    EXPECT_EQ(static_cast<int>(RPC_E_CHANGED_MODE), outcome.result);
    // OLE was not uninitialised: the thread is still in the MTA it chose.
    EXPECT_EQ(S_OK, outcome.apartmentQuery);
    EXPECT_EQ(APTTYPE_MTA, outcome.apartmentAfter);
}

// ---------------------------------------------------------------------------
// The six operations.

class FakeRegistrar : public IRegistrarBase
{
public:
    HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) override
    {
        replacements.push_back(std::wstring(key) + L"=" + item);
        return answer;
    }
    HRESULT ClearReplacements() override
    {
        replacements.clear();
        return S_OK;
    }
    std::vector<std::wstring> replacements;
    HRESULT answer = S_OK;
};

TEST_F(ModuleTest, AddCommonRGSReplacementsAddsAnEmptyAppId)
{
    ScriptedModule module;
    CAtlModule& base = module;
    FakeRegistrar registrar;
    EXPECT_EQ(S_OK, base.AddCommonRGSReplacements(&registrar));
    EXPECT_EQ(std::vector<std::wstring>{L"APPID="}, registrar.replacements);
    registrar.replacements.clear();
    registrar.answer = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, base.AddCommonRGSReplacements(&registrar));
    EXPECT_EQ(E_POINTER, base.AddCommonRGSReplacements(nullptr));
}

TEST_F(ModuleTest, LockAndUnlockWithDelayedShutdownSignalTheEvent)
{
    ScriptedModule module;
    CAtlModule& base = module;
    qztest::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.IsValid());
    module.m_hEventShutdown = event.Get();

    EXPECT_EQ(1, base.Lock());
    EXPECT_EQ(2, base.Lock());
    EXPECT_EQ(2, base.GetLockCount());
    EXPECT_EQ(1, base.Unlock());
    EXPECT_FALSE(module.m_bActivity);
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(0, base.Unlock());
    EXPECT_EQ(0, base.GetLockCount());
    EXPECT_TRUE(module.m_bActivity);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.Get(), 0));
    module.m_hEventShutdown = nullptr;
}

TEST_F(ModuleTest, UnlockWithoutDelayedShutdownPostsQuitToTheMainThread)
{
    ScriptedModule module;
    CAtlModule& base = module;
    module.m_bDelayShutdown = false;
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // this thread gets a queue
    while (::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
    {
    }
    EXPECT_EQ(1, base.Lock());
    EXPECT_EQ(0, base.Unlock());
    EXPECT_FALSE(module.m_bActivity);
    ASSERT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), message.message);
}

TEST_F(ModuleTest, GlobalInterfaceTableIsCreatedOnceAndKept)
{
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        ScriptedModule module;
        CAtlModule& base = module;
        EXPECT_EQ(E_POINTER, base.GetGITPtr(nullptr));
        EXPECT_EQ(nullptr, module.m_pGIT);
        IGlobalInterfaceTable* first = nullptr;
        ASSERT_EQ(S_OK, base.GetGITPtr(&first));
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(first, module.m_pGIT);
        IGlobalInterfaceTable* second = nullptr;
        ASSERT_EQ(S_OK, base.GetGITPtr(&second));
        EXPECT_EQ(first, second);
        // It works: an interface goes in and comes out.
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, first->RegisterInterfaceInGlobal(first, IID_IUnknown, &cookie));
        EXPECT_EQ(S_OK, first->RevokeInterfaceFromGlobal(cookie));
        second->Release();
        first->Release();
    } // the module releases its own reference
    ::CoUninitialize();
}

TEST_F(ModuleTest, TermFunctionsRunOnceLastAddedFirst)
{
    {
        ScriptedModule module;
        EXPECT_EQ(S_OK, module.AddTermFunc(&TermFunc, 1));
        EXPECT_EQ(S_OK, module.AddTermFunc(&TermFunc, 2));
        EXPECT_EQ(S_OK, module.AddTermFunc(&TermFunc, 3));
        module.Term();
        EXPECT_EQ((std::vector<std::string>{"term(3)", "term(2)", "term(1)"}), g_events);
        EXPECT_EQ(0u, module.cbSize);
        EXPECT_EQ(nullptr, module.m_pTermFuncs);
        EXPECT_EQ(E_UNEXPECTED, module.AddTermFunc(&TermFunc, 4));
        module.Term();
    }
    EXPECT_EQ(3u, g_events.size()) << "ran again at destruction";
}

TEST_F(ModuleTest, DestructorTellsTheMapThenTerminatesThenReleasesFactories)
{
    g_objectMap[0] = {&CLSID_NULL, &ObjectMainA, &g_factoryA};
    g_objectMap[1] = {&CLSID_NULL, &ObjectMainB, &g_factoryB};
    {
        MappedModule module;
        EXPECT_EQ((std::vector<std::string>{"A.ObjectMain(start)", "B.ObjectMain(start)"}), g_events);
        g_events.clear();
        ASSERT_EQ(S_OK, module.AddTermFunc(&TermFunc, 9));
    }
    EXPECT_EQ((std::vector<std::string>{"A.ObjectMain(end)", "B.ObjectMain(end)", "term(9)", "A.factory.Release",
                                        "B.factory.Release"}),
              g_events);
    EXPECT_EQ(nullptr, g_objectMap[0].pCF);
    EXPECT_EQ(nullptr, _pAtlModule);
}

// ---------------------------------------------------------------------------
// QzToolExec's vector: never past the runtime vector's terminator. The
// runtime may count fewer arguments than the launcher's split (it reads
// argument 0 with quotes); what lies past its terminator is not the vector's.

TEST_F(ModuleTest, ArgumentsAfterToolStopAtTheRuntimeVectorsTerminator)
{
    wchar_t a0[] = L"prog", a1[] = L"/qztoolexec", a2[] = L"tool", a3[] = L"x", a4[] = L"y";
    // Stands for whatever follows a vector in memory.
    wchar_t* const garbage = reinterpret_cast<wchar_t*>(static_cast<UINT_PTR>(0xBADC0DE0));
    LPWSTR five[] = {a0, a1, a2, a3, a4, nullptr, garbage};
    LPWSTR three[] = {a0, a1, a2, nullptr, garbage};
    LPWSTR two[] = {a0, a1, nullptr, garbage, garbage};
    LPWSTR one[] = {a0, nullptr, garbage, garbage, garbage};
    LPWSTR none[] = {nullptr, garbage, garbage, garbage};
    const struct
    {
        const char* name;
        LPWSTR* argv;
        int argc;
        LPWSTR* expected;
    } rows[] = {
        {"five entries: from the fourth", five, 5, five + 3}, {"three entries: the terminator", three, 3, three + 3},
        {"two entries: their terminator", two, 2, two + 2},   {"one entry: its terminator", one, 1, one + 1},
        {"no entry: the terminator", none, 0, none},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        LPWSTR* got = CqzElevateModulePeer::ArgumentsAfterTool(row.argv, row.argc);
        EXPECT_EQ(row.expected, got);
    }
    for (const int argc : {-1, 0, 4})
    {
        SCOPED_TRACE("null vector, count " + std::to_string(argc));
        LPWSTR* empty = CqzElevateModulePeer::ArgumentsAfterTool(nullptr, argc);
        ASSERT_NE(nullptr, empty);
        EXPECT_EQ(nullptr, *empty);
    }
    LPWSTR* negative = CqzElevateModulePeer::ArgumentsAfterTool(five, -1);
    ASSERT_NE(nullptr, negative);
    EXPECT_EQ(nullptr, *negative);
}

// ---------------------------------------------------------------------------
// The registration scan.

TEST_F(ModuleTest, ParseCommandLineFindsTheFirstRegistrationWord)
{
    const std::string none;
    const std::string reg = "RegisterServer(TRUE)";
    const std::string unreg = "UnregisterServer(TRUE)";
    const std::string regUser = "RegisterServer(TRUE, per user)";
    const std::string unregUser = "UnregisterServer(TRUE, per user)";
    const struct
    {
        const wchar_t* line;
        std::string action; // empty: "go on"
    } rows[] = {
        {L"prog.exe", none},
        {L"", none},
        {L"prog.exe /RegServer", reg},
        {L"prog.exe -regserver", reg},
        {L"prog.exe /REGSERVER", reg},
        {L"prog.exe /RegServer\targ", reg},
        {L"prog.exe /RegServer more", reg},
        {L"prog.exe /RegServerX", none},
        {L"prog.exe /RegServer,", none},
        {L"prog.exe /RegServer\"", none},
        {L"prog.exe \"/RegServer\"", none},
        {L"prog.exe /Reg", none},
        {L"prog.exe RegServer", none},
        {L"prog.exe / RegServer", none},
        {L"prog.exe /UnregServer", unreg},
        {L"prog.exe /unREGserver", unreg},
        {L"prog.exe /RegServerPerUser", regUser},
        {L"prog.exe -UnregServerPerUser", unregUser},
        {L"prog.exe /RegServerPerUserX", none},
        {L"prog.exe /RegServer /UnregServer", reg},
        {L"prog.exe /UnregServer /RegServer", unreg},
        {L"prog.exe --RegServer", reg},
        {L"prog.exe /-RegServer", reg},
        {L"prog.exe -/UnregServer", unreg},
        {L"\"C:\\a -RegServer b\\prog.exe\" /explore C:\\x", reg},
        {L"C:\\x-RegServer\\prog.exe", none},
        {L"prog.exe /navigate http://h/RegServer", reg},
        {L"prog.exe /navigate http://h/RegServer /setautoelvateflag", reg},
        {L"prog.exe /navigate \"http://h/RegServer\"", none},
        {L"prog.exe /explore C:\\x -RegServer", reg},
        {L"prog.exe /\xFF32\x0065gServer", none}, // a full-width R is not R
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.line));
        ScriptedModule::Reset();
        ScriptedModule::s_registerResult = static_cast<HRESULT>(0x80029C4A);
        ScriptedModule module;
        HRESULT hr = static_cast<HRESULT>(0xDEADBEEF);
        const bool goOn = module.ParseCommandLine(row.line, &hr);
        EXPECT_EQ(row.action.empty(), goOn);
        if (row.action.empty())
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_TRUE(g_events.empty());
        }
        else
        {
            EXPECT_EQ(static_cast<HRESULT>(0x80029C4A), hr);
            EXPECT_EQ(std::vector<std::string>{row.action}, g_events);
        }
    }
}

TEST_F(ModuleTest, ParseCommandLineToleratesNullArguments)
{
    ScriptedModule module;
    HRESULT hr = E_FAIL;
    EXPECT_TRUE(module.ParseCommandLine(nullptr, &hr));
    EXPECT_EQ(S_OK, hr);
    EXPECT_FALSE(module.ParseCommandLine(L"prog.exe /RegServer", nullptr));
}

TEST_F(ModuleTest, TypeLibraryFileBesideTheModule)
{
    // The ".tlb" path must fit in MAX_PATH characters with its terminator.
    const std::wstring dir254 = L"C:\\" + std::wstring(250, L'd') + L"\\"; // 254 characters
    const std::wstring dir255 = L"C:\\" + std::wstring(251, L'd') + L"\\"; // 255 characters
    const struct
    {
        std::wstring module;
        HRESULT hr;
        std::wstring tlb;
    } rows[] = {
        {L"C:\\a\\prog.exe", S_OK, L"C:\\a\\prog.tlb"},
        {L"C:\\a\\prog.x.exe", S_OK, L"C:\\a\\prog.x.tlb"},
        {L"C:\\a.b\\prog", S_OK, L"C:\\a.b\\prog.tlb"},
        {L"prog", S_OK, L"prog.tlb"},
        {L"C:\\a\\.exe", S_OK, L"C:\\a\\.tlb"},
        {dir254 + L"p.exe", S_OK, dir254 + L"p.tlb"}, // 259 characters: fits
        {dir254 + L"p", S_OK, dir254 + L"p.tlb"},     // 259 from an extensionless name
        {dir255 + L"p.exe", E_FAIL, L""},             // 260 would not
        {dir255 + L"p", E_FAIL, L""},                 // nor 260 from an extensionless name
        {dir255 + L"pq.exe", E_FAIL, L""},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.module).substr(0, 40) + " (" + std::to_string(row.module.size()) + ")");
        std::wstring tlb = L"untouched";
        EXPECT_EQ(row.hr, atl_detail::TypeLibPathBeside(row.module, tlb));
        EXPECT_EQ(row.hr == S_OK ? row.tlb : std::wstring(L"untouched"), tlb);
    }
}

TEST_F(ModuleTest, TokenWordComparison)
{
    const struct
    {
        const wchar_t* token;
        const wchar_t* word;
        bool match;
    } rows[] = {
        {L"RegServer", L"RegServer", true},         {L"regserver", L"RegServer", true},
        {L"REGSERVER ", L"RegServer", true},        {L"RegServer\t", L"RegServer", true},
        {L"RegServerX", L"RegServer", false},       {L"RegServer,", L"RegServer", false},
        {L"RegServe", L"RegServer", false},         {L"", L"RegServer", false},
        {L"RegServer\r", L"RegServer", false},      {L"RegServer\n", L"RegServer", false},
        {L"RegServerPerUser", L"RegServer", false},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.token));
        EXPECT_EQ(row.match, atl_detail::TokenIsWord(row.token, row.word));
    }
}

// ---------------------------------------------------------------------------
// Runs last in this suite: once loaded, the module stays in the process.
//
// CTest's Wine wrapper disables the name "mscoree" for Wine's loader
// (WINEDLLOVERRIDES="mscoree,mshtml="), which then refuses even a file of
// that name loaded by its path; Wine reads the override from the Unix
// environment, so a child process cannot lift it either. The CTest entry
// launcher_mscoree_tests starts this suite without that override, and there
// the case runs: an empty library named mscoree.dll is loaded (a module of
// that name is all the framework looks for).
TEST_F(ModuleTest, ZZ_ApartmentClashWithMscoreeLoadedGoesOnWithoutUninitialising)
{
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"Mscoree.dll"));
    const std::wstring fake = qztest::BinDir() + L"\\fake_mscoree\\mscoree.dll";
    if (::LoadLibraryW(fake.c_str()) == nullptr)
    {
        const DWORD error = ::GetLastError();
        // The CTest entry launcher_mscoree_tests lifts the override and
        // requires the case to run.
        if (::GetEnvironmentVariableW(L"QZ_REQUIRE_MSCOREE", nullptr, 0) != 0)
            FAIL() << "a library named mscoree.dll cannot be loaded (error " << error << ")";
        GTEST_SKIP() << "a library named mscoree.dll cannot be loaded here (error " << error
                     << "): the environment's WINEDLLOVERRIDES disables the name";
    }
    ASSERT_NE(nullptr, ::GetModuleHandleW(L"Mscoree.dll")) << "loaded, but not found under that name";

    // Scripted: the clash, then Run; COM is not uninitialised.
    {
        ScriptedModule::Reset();
        ScriptedModule::s_initializeResult = RPC_E_CHANGED_MODE;
        ScriptedModule::s_runResult = 3;
        ScriptedModule module;
        EXPECT_EQ(3, module.WinMain(SW_SHOW));
        EXPECT_EQ((std::vector<std::string>{"InitializeCom", "Run(5)"}), g_events);
        EXPECT_FALSE(module.m_bComInitialized);
    }
    // The launcher's module, for real: it goes on to the dispatch, which
    // refuses this test's command line (the filter is no switch), and leaves
    // the thread's MTA alone.
    const ClashOutcome outcome = RunLauncherModuleInMta();
    ASSERT_EQ(S_OK, outcome.preInit);
    EXPECT_EQ(static_cast<int>(E_INVALIDARG), outcome.result);
    EXPECT_EQ(S_OK, outcome.apartmentQuery);
    EXPECT_EQ(APTTYPE_MTA, outcome.apartmentAfter);
}

} // namespace
