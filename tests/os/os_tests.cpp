// CqzOperatingSystem: the mapping and text rules as tables over their inputs,
// identification as Wine reports it under several Windows versions (a probe
// child per version, named per row), the installer correction in a real
// process named MsiExec.exe, concurrent first calls, the registry values,
// machine types, the computer name, the cached directories and the tick
// count.
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "trace/qztrace.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{

const wchar_t* const kCurrentVersionKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t* const kPolicyKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

const USHORT kI386 = 0x14C;
const USHORT kArmNt = 0x1C4;
const USHORT kAmd64 = 0x8664;
const USHORT kArm64 = 0xAA64;
const USHORT kIa64 = 0x200;

std::string U8(const std::wstring& text)
{
    return qztest::ToUtf8(text);
}

std::wstring Join(std::initializer_list<const wchar_t*> lines)
{
    std::wstring text;
    for (const wchar_t* line : lines)
    {
        if (!text.empty())
            text += L"\r\n";
        text += line;
    }
    return text;
}

bool IsWine()
{
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

RTL_OSVERSIONINFOEXW Record(DWORD major, DWORD minor, DWORD build, BYTE productType)
{
    RTL_OSVERSIONINFOEXW record = {};
    record.dwOSVersionInfoSize = sizeof(record);
    record.dwMajorVersion = major;
    record.dwMinorVersion = minor;
    record.dwBuildNumber = build;
    record.dwPlatformId = VER_PLATFORM_WIN32_NT;
    record.wProductType = productType;
    return record;
}

// Puts one registry value back as it was (or removes it) when the test ends.
using qztest::RegValueRestorer;

// Keeps the values of a key without subkeys and rebuilds the key from them
// when the test ends, so a test may delete the key or replace its security.
class RegKeySnapshot
{
public:
    RegKeySnapshot(HKEY root, const std::wstring& subKey) : m_root(root), m_subKey(subKey)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return;
        m_existed = true;
        for (DWORD index = 0;; ++index)
        {
            wchar_t name[256];
            DWORD nameChars = 256;
            DWORD type = 0;
            BYTE data[4096];
            DWORD size = sizeof(data);
            if (::RegEnumValueW(key, index, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS)
                break;
            m_values.push_back({std::wstring(name, nameChars), type, std::vector<BYTE>(data, data + size)});
        }
        DWORD subKeys = 0;
        ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr);
        m_hasSubKeys = subKeys != 0;
        ::RegCloseKey(key);
    }
    ~RegKeySnapshot()
    {
        qztest::DeleteRegTree(m_root, m_subKey);
        if (!m_existed)
            return;
        qztest::CreateRegKey(m_root, m_subKey);
        for (const Value& value : m_values)
            qztest::SetRegBytes(m_root, m_subKey, value.name, value.data.data(), static_cast<DWORD>(value.data.size()),
                                value.type);
    }
    RegKeySnapshot(const RegKeySnapshot&) = delete;
    RegKeySnapshot& operator=(const RegKeySnapshot&) = delete;

    bool HasSubKeys() const { return m_hasSubKeys; }

private:
    struct Value
    {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    HKEY m_root;
    std::wstring m_subKey;
    bool m_existed = false;
    bool m_hasSubKeys = false;
    std::vector<Value> m_values;
};

// What one probe run reported.
struct ProbeResult
{
    bool ran = false;
    DWORD exitCode = 0;
    std::map<std::string, std::string> values;
    std::vector<std::string> traces;

    std::string Get(const std::string& key) const
    {
        auto it = values.find(key);
        return it == values.end() ? std::string("<missing>") : it->second;
    }
    unsigned long Number(const std::string& key) const { return std::stoul(values.count(key) ? Get(key) : "0"); }
    long Count(const std::string& trace) const
    {
        long n = 0;
        for (const std::string& line : traces)
            n += line == trace;
        return n;
    }
};

std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\\' && i + 1 < text.size())
        {
            const char next = text[++i];
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        }
        else
        {
            out += text[i];
        }
    }
    return out;
}

// A directory holding copies of the probe under chosen names beside the
// libraries it needs; each run may carry its own Wine version setting.
class ProbeDir
{
public:
    ProbeDir() : m_dir(L"qzosprobe")
    {
        m_ready = !m_dir.Path().empty();
        for (const std::wstring& dll : qztest::WithRuntime({L"qztrace.dll"}))
            m_ready = m_ready && ::CopyFileW((qztest::BinDir() + L"\\" + dll).c_str(), (m_dir / dll).c_str(), FALSE);
    }
    bool Ready() const { return m_ready; }

    // wineVersion null: no version setting for the name.
    ProbeResult Run(const std::wstring& exeName, const wchar_t* wineVersion, const wchar_t* mode = L"report")
    {
        ProbeResult result;
        const std::wstring exe = m_dir / exeName;
        if (!qztest::FileExists(exe) &&
            !::CopyFileW((qztest::BinDir() + L"\\os_probe.exe").c_str(), exe.c_str(), FALSE))
            return result;
        const std::wstring output = m_dir / (exeName + L".out");
        ::DeleteFileW(output.c_str());

        std::unique_ptr<qztest::WineVersionScope> version;
        if (wineVersion)
        {
            version.reset(new qztest::WineVersionScope(exeName, wineVersion));
            if (!version->Ok())
                return result;
        }
        const qztest::ProcessResult run =
            qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + qztest::QuoteArg(output) + L" " + mode);
        result.ran = run.started && run.finished;
        result.exitCode = run.exitCode;
        const qztest::KeyValues reported = qztest::ReadKeyValues(output);
        for (const auto& value : reported.values)
        {
            if (value.first != "trace")
                result.values[value.first] = Unescape(value.second);
        }
        for (const std::string& trace : reported.All("trace"))
            result.traces.push_back(Unescape(trace));
        return result;
    }

private:
    qztest::TempDir m_dir;
    bool m_ready = false;
};

// ---------------------------------------------------------------------------
// Rules as functions of their inputs

TEST(ProductMapping, VersionRecordsToIndexAndName)
{
    const BYTE ws = VER_NT_WORKSTATION;
    const BYTE dc = VER_NT_DOMAIN_CONTROLLER;
    const BYTE srv = VER_NT_SERVER;
    const struct
    {
        DWORD major, minor, build;
        BYTE productType;
        bool serverR2;
        int index;
        const wchar_t* name;
    } rows[] = {
        {5, 0, 2195, ws, false, 1, L"Windows 2000"},
        {5, 0, 2195, srv, false, 1, L"Windows 2000"},
        {5, 1, 2600, ws, false, 2, L"Windows XP"},
        {5, 2, 3790, srv, false, 3, L"Windows Server 2003"},
        {5, 2, 3790, srv, true, 4, L"Windows Server 2003 R2"},
        {5, 2, 3790, ws, false, 3, L"Windows Server 2003"}, // XP x64 shares 5.2
        {5, 3, 0, ws, false, 0, L"Unknown"},
        {6, 0, 6002, ws, false, 5, L"Windows Vista"},
        {6, 0, 6002, srv, false, 6, L"Windows Server 2008"},
        {6, 0, 6002, dc, false, 6, L"Windows Server 2008"},
        {6, 1, 7601, ws, false, 7, L"Windows 7"},
        {6, 1, 7601, srv, false, 8, L"Windows Server 2008 R2"},
        {6, 2, 9200, ws, false, 9, L"Windows 8"},
        {6, 2, 9200, srv, false, 10, L"Windows Server 2012"},
        {6, 3, 9600, ws, false, 11, L"Windows 8.1"},
        {6, 3, 9600, dc, false, 12, L"Windows Server 2012 R2"},
        {6, 4, 9841, ws, false, 0, L"Unknown"},
        {10, 0, 19045, ws, false, 13, L"Windows 10"},
        {10, 0, 21999, ws, false, 13, L"Windows 10"},
        {10, 0, 22000, ws, false, 15, L"Windows 11"},
        {10, 0, 22631, ws, false, 15, L"Windows 11"},
        {10, 0, 22000, srv, false, 15, L"Windows 11"}, // by build alone, whatever the product type
        {10, 0, 26100, dc, false, 15, L"Windows 11"},
        {10, 0, 14393, srv, false, 14, L"Windows Server 2016"},
        {10, 0, 17762, srv, false, 14, L"Windows Server 2016"},
        {10, 0, 17763, srv, false, 16, L"Windows Server 2019"},
        {10, 0, 17763, dc, false, 16, L"Windows Server 2019"},
        {10, 0, 20347, srv, false, 16, L"Windows Server 2019"},
        {10, 0, 20348, srv, false, 17, L"Windows Server 2022"},
        {10, 0, 21999, srv, false, 17, L"Windows Server 2022"},
        {10, 1, 19045, ws, false, 0, L"Unknown"},
        {11, 0, 0, ws, false, 15, L"Windows 11"},
        {11, 0, 0, srv, false, 15, L"Windows 11"},
        {11, 1, 0, ws, false, 0, L"Unknown"},
        {4, 0, 1381, ws, false, 0, L"Unknown"},
        {0, 0, 0, 0, false, 0, L"Unknown"},
        {12, 0, 0, ws, false, 0, L"Unknown"},
    };
    int row = 0;
    for (const auto& r : rows)
    {
        const RTL_OSVERSIONINFOEXW record = Record(r.major, r.minor, r.build, r.productType);
        const int index = CqzOperatingSystem::MapVersionToProductIndex(record, r.serverR2);
        EXPECT_EQ(r.index, index) << "row " << row << ": " << r.major << "." << r.minor << "." << r.build << " type "
                                  << int(r.productType) << " R2 " << r.serverR2;
        const wchar_t* name = CqzOperatingSystem::GetProductTableName(index);
        ASSERT_NE(nullptr, name) << "row " << row;
        EXPECT_EQ(std::wstring(r.name), name) << "row " << row;
        ++row;
    }
}

TEST(ProductMapping, TableHoldsEighteenNames)
{
    const wchar_t* const names[] = {
        L"Unknown",
        L"Windows 2000",
        L"Windows XP",
        L"Windows Server 2003",
        L"Windows Server 2003 R2",
        L"Windows Vista",
        L"Windows Server 2008",
        L"Windows 7",
        L"Windows Server 2008 R2",
        L"Windows 8",
        L"Windows Server 2012",
        L"Windows 8.1",
        L"Windows Server 2012 R2",
        L"Windows 10",
        L"Windows Server 2016",
        L"Windows 11",
        L"Windows Server 2019",
        L"Windows Server 2022",
    };
    for (int i = 0; i < 18; ++i)
    {
        const wchar_t* name = CqzOperatingSystem::GetProductTableName(i);
        ASSERT_NE(nullptr, name) << "index " << i;
        EXPECT_EQ(std::wstring(names[i]), name) << "index " << i;
    }
    EXPECT_EQ(nullptr, CqzOperatingSystem::GetProductTableName(-1));
    EXPECT_EQ(nullptr, CqzOperatingSystem::GetProductTableName(18));
}

const wchar_t* const kBackOffice = L"Microsoft BackOffice components are installed.";
const wchar_t* const kWeb = L"Windows Server 2003, Web Edition is installed.";
const wchar_t* const kCluster = L"Windows Server 2003, Compute Cluster Edition is installed.";
const wchar_t* const kDc2000 = L"Windows 2000 Datacenter Server is installed.";
const wchar_t* const kDc2003 = L"Windows Server 2003, Datacenter Edition is installed.";
const wchar_t* const kDc2008 = L"Windows Server 2008 Datacenter is installed.";
const wchar_t* const kDcOther = L"Windows Server Datacenter is installed.";
const wchar_t* const kEnt2000 = L"Windows 2000 Advanced Server is installed.";
const wchar_t* const kEnt2003 = L"Windows Server 2003, Enterprise Edition is installed.";
const wchar_t* const kEnt2008 = L"Windows Server 2008 Enterprise is installed.";
const wchar_t* const kEntOther = L"Windows Server Enterprise Edition is installed.";
const wchar_t* const kXpHome = L"Windows XP Home Edition is installed.";
const wchar_t* const kPersonal = L"Personal.";
const wchar_t* const kSingleTs = L"Remote Desktop is supported, but only one interactive session is supported.";
const wchar_t* const kSbsOnce = L"Microsoft Small Business Server was once installed on the system, but may have been "
                                L"upgraded to another version of Windows.";
const wchar_t* const kSbsRestricted =
    L"Microsoft Small Business Server is installed with the restrictive client license in force.";
const wchar_t* const kStorage = L"Windows Storage Server 2003 is installed.";
const wchar_t* const kStorageR2 = L"Windows Storage Server 2003 R2 is installed.";
const wchar_t* const kTs = L"Terminal Services is installed.";
const wchar_t* const kHomeServer = L"Windows Home Server is installed.";
const wchar_t* const kVistaBusiness = L"Windows Vista Business is installed.";

TEST(SuiteDescription, SuiteMasksToTexts)
{
    const struct
    {
        WORD mask;
        DWORD major, minor;
        bool serverR2;
        DWORD productType;
        std::wstring expected;
        const char* trace; // the one ERROR line, or null for none
    } rows[] = {
        {0, 10, 0, false, 0, L"", nullptr},
        {0x110, 10, 0, false, 0, Join({kSingleTs, kTs}), nullptr},
        {0x300, 10, 0, false, 0, Join({kPersonal, kSingleTs}), nullptr},
        {0x4, 6, 1, false, 0, kBackOffice, nullptr},
        {0x400, 5, 2, false, 0, kWeb, nullptr},
        {0x4000, 5, 2, false, 0, kCluster, nullptr},
        {0x80, 5, 0, false, 0, kDc2000, nullptr},
        {0x80, 5, 1, false, 0, kDcOther, nullptr},
        {0x80, 5, 2, false, 0, kDc2003, nullptr},
        {0x80, 6, 0, false, 0, kDc2008, nullptr},
        {0x80, 6, 3, false, 0, kDc2008, nullptr},
        {0x80, 10, 0, false, 0, kDcOther, nullptr},
        {0x2, 5, 0, false, 0, kEnt2000, nullptr},
        {0x2, 5, 1, false, 0, kEntOther, nullptr},
        {0x2, 5, 2, false, 0, kEnt2003, nullptr},
        {0x2, 6, 1, false, 0, kEnt2008, nullptr},
        {0x2, 10, 0, false, 0, kEntOther, nullptr},
        {0x40, 5, 1, false, 0, kXpHome, nullptr},
        {0x40, 5, 2, false, 0, kXpHome, nullptr},
        {0x40, 6, 0, false, 6, kVistaBusiness, nullptr},
        {0x40, 6, 1, false, 0x30, L"", nullptr}, // a type without an edition line
        {0x40, 6, 0, false, 0, L"", nullptr},    // GetProductInfo unavailable
        {0x40, 10, 0, false, 6, L"", nullptr},   // known bit, no line after Vista's major
        {0x200, 5, 1, false, 0, kPersonal, nullptr},
        {0x100, 5, 1, false, 0, kSingleTs, nullptr},
        {0x1, 5, 2, false, 0, kSbsOnce, nullptr},
        {0x20, 5, 2, false, 0, kSbsRestricted, nullptr},
        {0x2000, 5, 2, false, 0, kStorage, nullptr},
        {0x2000, 5, 2, true, 0, kStorageR2, nullptr},
        {0x10, 6, 1, false, 0, kTs, nullptr},
        {0x8000, 6, 0, false, 0, kHomeServer, nullptr},
        {0x112, 6, 1, false, 0, Join({kEnt2008, kSingleTs, kTs}), nullptr},
        {0x800, 10, 0, false, 0, L"Unknown Suite(s) 2048.", "ERROR: Unknown Suite(s)  2048"},
        {0x1010, 10, 0, false, 0, Join({kTs, L"Unknown Suite(s) 4096."}), "ERROR: Unknown Suite(s)  4096"},
        {0xFFFF, 5, 2, true, 0,
         Join({kBackOffice, kWeb, kCluster, kDc2003, kEnt2003, kXpHome, kPersonal, kSingleTs, kSbsOnce, kSbsRestricted,
               kStorageR2, kTs, kHomeServer, L"Unknown Suite(s) 6152."}),
         "ERROR: Unknown Suite(s)  6152"},
    };
    int row = 0;
    for (const auto& r : rows)
    {
        qztest::TraceCapture capture;
        const std::wstring text =
            CqzOperatingSystem::BuildSuiteDescription(r.mask, r.major, r.minor, r.serverR2, r.productType);
        EXPECT_EQ(U8(r.expected), U8(text))
            << "row " << row << ": mask 0x" << std::hex << r.mask << std::dec << " on " << r.major << "." << r.minor;
        const std::vector<std::string> lines = capture.Lines();
        if (r.trace)
        {
            EXPECT_EQ(std::vector<std::string>{r.trace}, lines) << "row " << row;
        }
        else
        {
            EXPECT_TRUE(lines.empty()) << "row " << row << ": " << (lines.empty() ? "" : lines[0]);
        }
        ++row;
    }
}

TEST(SuiteDescription, EditionTextsByProductType)
{
    const wchar_t* const business = L"Windows Vista Business is installed.\r\n";
    const wchar_t* const enterprise = L"Windows Vista Enterprise is installed.\r\n";
    const wchar_t* const homeBasic = L"Windows Vista Home Basic is installed.\r\n";
    const wchar_t* const homePremium = L"Windows Vista Home Premium is installed.\r\n";
    const wchar_t* const ultimate = L"Windows Vista Ultimate is installed.\r\n";
    const wchar_t* const starter = L"Windows Vista Starter is installed.\r\n";
    const struct
    {
        DWORD type;
        const wchar_t* text;
    } rows[] = {
        {0x6, business},     {0x10, business},  {0x4, enterprise}, {0x1B, enterprise}, {0x46, enterprise},
        {0x2, homeBasic},    {0x5, homeBasic},  {0x43, homeBasic}, {0x3, homePremium}, {0x1A, homePremium},
        {0x44, homePremium}, {0x1, ultimate},   {0x1C, ultimate},  {0x47, ultimate},   {0xB, starter},
        {0x2F, starter},     {0x42, starter},   {0x0, L""},        {0x7, L""},         {0x30, L""},
        {0x48, L""},         {0xABCDABCD, L""},
    };
    for (const auto& r : rows)
    {
        const wchar_t* text = CqzOperatingSystem::GetEditionText(r.type);
        ASSERT_NE(nullptr, text) << "type 0x" << std::hex << r.type;
        EXPECT_EQ(U8(r.text), U8(text)) << "type 0x" << std::hex << r.type;
    }
}

TEST(MachineType, DecisionRules)
{
    const struct
    {
        USHORT processMachine, nativeMachine, image, native;
    } rows2[] = {
        {0, kI386, kI386, kI386},
        {0, kAmd64, kAmd64, kAmd64},
        {0, kArm64, kArm64, kArm64},
        {kI386, kAmd64, kI386, kAmd64},
        {kI386, kArm64, kI386, kArm64},
        {kArmNt, kArm64, kArmNt, kArm64},
        {kAmd64, kArm64, kAmd64, kArm64},
        {0, kArmNt, 0, 0},
        {0, kIa64, 0, 0},
        {kIa64, kAmd64, 0, kAmd64},
        {0, 0, 0, 0},
    };
    int row = 0;
    for (const auto& r : rows2)
    {
        EXPECT_EQ(r.image, CqzOperatingSystem::ImageTypeFromWow64Process2(r.processMachine, r.nativeMachine))
            << "row " << row;
        EXPECT_EQ(r.native, CqzOperatingSystem::NativeTypeFromWow64Process2(r.nativeMachine)) << "row " << row;
        ++row;
    }
    // Without IsWow64Process2: a process under emulation is 32-bit x86 whatever
    // the system; otherwise it has the system's width.
    const struct
    {
        BOOL wow64;
        USHORT native, image;
    } rows1[] = {
        {TRUE, 0, kI386},        {TRUE, kAmd64, kI386},   {FALSE, kI386, kI386},
        {FALSE, kAmd64, kAmd64}, {FALSE, kArm64, kAmd64}, {FALSE, 0, kI386},
    };
    row = 0;
    for (const auto& r : rows1)
    {
        EXPECT_EQ(r.image, CqzOperatingSystem::ImageTypeFromIsWow64(r.wow64, r.native)) << "row " << row;
        ++row;
    }
    // The system's own type from IsWow64Process: under emulation it is 64-bit
    // x86; otherwise this process's own width is the system's.
    EXPECT_EQ(kAmd64, CqzOperatingSystem::NativeTypeFromIsWow64(TRUE));
#ifdef _WIN64
    EXPECT_EQ(kAmd64, CqzOperatingSystem::NativeTypeFromIsWow64(FALSE));
#else
    EXPECT_EQ(kI386, CqzOperatingSystem::NativeTypeFromIsWow64(FALSE));
#endif
}

// ---------------------------------------------------------------------------
// This process

typedef LONG(WINAPI* RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);

TEST(Identification, ThisProcessMatchesRtlGetVersion)
{
    ASSERT_TRUE(CqzOperatingSystem::Init());
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(nullptr, rtlGetVersion);
    RTL_OSVERSIONINFOEXW direct = {};
    direct.dwOSVersionInfoSize = sizeof(direct);
    ASSERT_EQ(0, rtlGetVersion(&direct));

    const RTL_OSVERSIONINFOEXW& record = CqzOperatingSystem::GetVersionInfo();
    EXPECT_EQ(284u, record.dwOSVersionInfoSize);
    EXPECT_EQ(0, std::memcmp(&direct, &record, sizeof(record))); // no installer correction in this process
    EXPECT_EQ(direct.dwMajorVersion, CqzOperatingSystem::GetMajorVersion());
    EXPECT_EQ(direct.dwMinorVersion, CqzOperatingSystem::GetMinorVersion());
    EXPECT_EQ(direct.dwBuildNumber, CqzOperatingSystem::GetBuildNumber());
    EXPECT_EQ(direct.wServicePackMajor, CqzOperatingSystem::GetServicePackMajor());
    EXPECT_EQ(U8(direct.szCSDVersion), U8(CqzOperatingSystem::GetCSDVersion()));

    const bool serverR2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
    const int index = CqzOperatingSystem::MapVersionToProductIndex(direct, serverR2);
    EXPECT_EQ(index, CqzOperatingSystem::GetProductIndex());
    if (index != 0)
    {
        EXPECT_EQ(U8(CqzOperatingSystem::GetProductTableName(index)), U8(CqzOperatingSystem::GetName()));
    }

    const bool vista = direct.dwMajorVersion >= 6;
    EXPECT_EQ(vista, CqzOperatingSystem::IsVistaOrLater());
    EXPECT_EQ(direct.dwMajorVersion > 6 || (direct.dwMajorVersion == 6 && direct.dwMinorVersion >= 2),
              CqzOperatingSystem::IsWin8OrLater());
    EXPECT_EQ(direct.dwMajorVersion > 6 || (direct.dwMajorVersion == 6 && direct.dwMinorVersion >= 3),
              CqzOperatingSystem::IsWin81OrLater());
    EXPECT_EQ(direct.dwMajorVersion >= 10, CqzOperatingSystem::IsWin10OrLater());
    EXPECT_EQ(direct.wProductType != VER_NT_WORKSTATION, CqzOperatingSystem::IsServer());
    EXPECT_FALSE(CqzOperatingSystem::IsMsiExecProcess()); // os_tests.exe
}

TEST(Identification, LaterCallsDoNotIdentifyAgain)
{
    ASSERT_TRUE(CqzOperatingSystem::Init());
    const std::wstring* name = &CqzOperatingSystem::GetName();
    const RTL_OSVERSIONINFOEXW* record = &CqzOperatingSystem::GetVersionInfo();
    qztest::TraceCapture capture;
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_TRUE(CqzOperatingSystem::Init());
        EXPECT_EQ(name, &CqzOperatingSystem::GetName());
        EXPECT_EQ(record, &CqzOperatingSystem::GetVersionInfo());
        CqzOperatingSystem::GetSuiteDescription();
    }
    EXPECT_TRUE(capture.Lines().empty());
}

// ---------------------------------------------------------------------------
// Under Wine's Windows versions

TEST(Identification, UnderWineWindowsVersions)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-executable version setting";
    ProbeDir probes;
    ASSERT_TRUE(probes.Ready());
    // The version Wine is asked to report, the record that version has on
    // Windows, and the product of that record. The "other" columns name the
    // product for the opposite product type: used where Wine reports a
    // product type that Windows does not have.
    const struct
    {
        const wchar_t* wine;
        DWORD major, minor;
        bool workstation;
        int index;
        const char* name;
        int otherIndex;
        const char* otherName;
    } rows[] = {
        {L"win2000", 5, 0, true, 1, "Windows 2000", 1, "Windows 2000"},
        {L"winxp", 5, 1, true, 2, "Windows XP", 2, "Windows XP"},
        {L"winxp64", 5, 2, true, 3, "Windows Server 2003", 3, "Windows Server 2003"},
        {L"win2003", 5, 2, false, 3, "Windows Server 2003", 3, "Windows Server 2003"},
        {L"vista", 6, 0, true, 5, "Windows Vista", 6, "Windows Server 2008"},
        {L"win2008", 6, 0, false, 6, "Windows Server 2008", 5, "Windows Vista"},
        {L"win7", 6, 1, true, 7, "Windows 7", 8, "Windows Server 2008 R2"},
        {L"win2008r2", 6, 1, false, 8, "Windows Server 2008 R2", 7, "Windows 7"},
        {L"win8", 6, 2, true, 9, "Windows 8", 10, "Windows Server 2012"},
        {L"win81", 6, 3, true, 11, "Windows 8.1", 12, "Windows Server 2012 R2"},
        {L"win10", 10, 0, true, 13, "Windows 10", 14, "Windows Server 2016"},
    };
    for (const auto& r : rows)
    {
        const std::string row = U8(r.wine);
        const ProbeResult probe = probes.Run(L"qzos_" + std::wstring(r.wine) + L".exe", r.wine);
        ASSERT_TRUE(probe.ran) << row;
        ASSERT_EQ(0u, probe.exitCode) << row;
        ASSERT_EQ("1", probe.Get("init")) << row;
        EXPECT_EQ("284", probe.Get("size")) << row;
        ASSERT_EQ(std::to_string(r.major), probe.Get("major")) << row << ": Wine did not take the version setting";
        ASSERT_EQ(std::to_string(r.minor), probe.Get("minor")) << row;

        const bool workstation = probe.Number("productType") == VER_NT_WORKSTATION;
        int index = r.index;
        std::string name = r.name;
        if (workstation != r.workstation)
        {
            // Wine 8 swaps the product types of win7 and win2008r2. The
            // mapping is checked for what Wine reports, not taken as Windows' truth.
            std::cout << "[ NOTE ] Wine reports product type " << probe.Get("productType") << " for " << row
                      << "; Windows has " << (r.workstation ? "a workstation" : "a server") << " type\n";
            index = r.otherIndex;
            name = r.otherName;
        }
        if (r.major == 5 && r.minor == 2 && probe.Number("serverR2") != 0)
        {
            index = 4;
            name = "Windows Server 2003 R2";
        }
        EXPECT_EQ(std::to_string(index), probe.Get("index")) << row;
        EXPECT_EQ(name, probe.Get("name")) << row;
        EXPECT_EQ(probe.Get("recordCsd"), probe.Get("csd")) << row;

        const DWORD major = r.major;
        const DWORD minor = r.minor;
        EXPECT_EQ(major >= 6 ? "1" : "0", probe.Get("isVista")) << row;
        EXPECT_EQ(major > 6 || (major == 6 && minor >= 2) ? "1" : "0", probe.Get("isWin8")) << row;
        EXPECT_EQ(major > 6 || (major == 6 && minor >= 3) ? "1" : "0", probe.Get("isWin81")) << row;
        EXPECT_EQ(major >= 10 ? "1" : "0", probe.Get("isWin10")) << row;
        EXPECT_EQ(workstation ? "0" : "1", probe.Get("isServer")) << row;

        const WORD mask = static_cast<WORD>(probe.Number("suiteMask"));
        const std::wstring suite =
            CqzOperatingSystem::BuildSuiteDescription(mask, major, minor, probe.Number("serverR2") != 0, 0);
        if (!(major == 6 && (mask & 0x40)))
        {
            EXPECT_EQ(U8(suite), probe.Get("suite")) << row;
        }

        // The probe is built in this suite's flavour, on any system.
        EXPECT_EQ("1", probe.Get("imageTypeOk")) << row;
        EXPECT_EQ(std::to_string(qztest::kImageMachine), probe.Get("imageType")) << row;
        // No identification failure and no unknown suite: no ERROR line.
        for (const std::string& line : probe.traces)
            EXPECT_EQ(std::string::npos, line.find("ERROR")) << row << ": " << line;
    }
}

TEST(Identification, UnknownVersionIsNamedAndTracedOnce)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-executable version setting";
    ProbeDir probes;
    ASSERT_TRUE(probes.Ready());
    const struct
    {
        const wchar_t* wine;
        const char* major;
        const char* minor;
        const char* name;
        const char* trace;
    } rows[] = {
        {L"nt40", "4", "0", "Unknown System 4.0", "ERROR: Could not identify operating system 4.0"},
        {L"win98", "4", "10", "Unknown System 4.10", "ERROR: Could not identify operating system 4.10"},
    };
    for (const auto& r : rows)
    {
        const std::string row = U8(r.wine);
        const ProbeResult probe = probes.Run(L"qzos_" + std::wstring(r.wine) + L".exe", r.wine);
        ASSERT_TRUE(probe.ran) << row;
        ASSERT_EQ(r.major, probe.Get("major")) << row;
        ASSERT_EQ(r.minor, probe.Get("minor")) << row;
        EXPECT_EQ("0", probe.Get("index")) << row;
        EXPECT_EQ(r.name, probe.Get("name")) << row;
        EXPECT_EQ("0", probe.Get("isVista")) << row;
        // The probe asks several times; identification, and its line, happen once.
        EXPECT_EQ(1, probe.Count(r.trace)) << row;
    }
}

TEST(Identification, ConcurrentFirstCallsIdentifyOnce)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-executable version setting";
    ProbeDir probes;
    ASSERT_TRUE(probes.Ready());
    wchar_t windowsDir[MAX_PATH] = {};
    wchar_t systemDir[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetSystemWindowsDirectoryW(windowsDir, MAX_PATH));
    ASSERT_NE(0u, ::GetSystemDirectoryW(systemDir, MAX_PATH));
    // An unknown version writes one ERROR line per identification: the count
    // of that line is the count of identifications, whatever the timing.
    for (int run = 0; run < 5; ++run)
    {
        const ProbeResult probe = probes.Run(L"qzos_race.exe", L"nt40", L"race");
        ASSERT_TRUE(probe.ran) << "run " << run;
        ASSERT_EQ(0u, probe.exitCode) << "run " << run;
        EXPECT_EQ("16", probe.Get("threads")) << "run " << run;
        EXPECT_EQ("1", probe.Get("consistent")) << "run " << run;
        EXPECT_EQ("Unknown System 4.0", probe.Get("name")) << "run " << run;
        EXPECT_EQ(U8(windowsDir), probe.Get("windowsDir")) << "run " << run;
        EXPECT_EQ(U8(systemDir), probe.Get("systemDir")) << "run " << run;
        EXPECT_EQ(1, probe.Count("ERROR: Could not identify operating system 4.0")) << "run " << run;
        EXPECT_EQ(1u, probe.traces.size()) << "run " << run;
    }
}

// ---------------------------------------------------------------------------
// Installer correction

TEST(InstallerCorrection, MsiExecReadsMinorVersionFromRegistry)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-executable version setting";
    RegValueRestorer currentVersion(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                    L"CurrentVersion", KEY_WOW64_64KEY);
    const struct
    {
        const wchar_t* exe;
        const wchar_t* wine;
        const wchar_t* registry; // null: no value
        const char* minor;
        const char* index;
        const char* name;
        const char* msiexec;
    } rows[] = {
        {L"MsiExec.exe", L"vista", L"6.1", "1", "7", "Windows 7", "1"},
        {L"msiexec.EXE", L"vista", L"6.1", "1", "7", "Windows 7", "1"},
        {L"MSIEXEC.exe", L"vista", L"6.3", "3", "11", "Windows 8.1", "1"},
        {L"MsiExec.exe", L"vista", L"6.2", "2", "9", "Windows 8", "1"},
        {L"MsiExec.exe", L"win2008", L"6.1", "1", "8", "Windows Server 2008 R2", "1"},
        {L"MsiExec.exe", L"vista", L"6.12", "12", "0", "Unknown System 6.12", "1"},
        {L"MsiExec.exe", L"vista", L"6.0", "0", "5", "Windows Vista", "1"},
        {L"MsiExec.exe", L"vista", L"6.", "0", "5", "Windows Vista", "1"},
        {L"MsiExec.exe", L"vista", L"6.x", "0", "5", "Windows Vista", "1"},
        {L"MsiExec.exe", L"vista", L"7.1", "0", "5", "Windows Vista", "1"},
        {L"MsiExec.exe", L"vista", L"", "0", "5", "Windows Vista", "1"},
        {L"MsiExec.exe", L"vista", nullptr, "0", "5", "Windows Vista", "1"},
        {L"MsiExec.exe", L"win8", L"6.3", "2", "9", "Windows 8", "1"}, // only a 6.0 record is corrected
        {L"qz_msiexec.exe", L"vista", L"6.1", "0", "5", "Windows Vista", "0"},
        {L"MsiExe.exe", L"vista", L"6.1", "0", "5", "Windows Vista", "0"},
    };
    for (const auto& r : rows)
    {
        const std::string row = U8(r.exe) + " as " + U8(r.wine) + " with " + (r.registry ? U8(r.registry) : "none");
        if (r.registry)
            ASSERT_TRUE(currentVersion.SetString(r.registry)) << row;
        else
            ASSERT_TRUE(currentVersion.Delete()) << row;
        // Each row gets its own directory: names differing in case are one file.
        ProbeDir rowProbes;
        ASSERT_TRUE(rowProbes.Ready()) << row;
        const ProbeResult probe = rowProbes.Run(r.exe, r.wine);
        ASSERT_TRUE(probe.ran) << row;
        ASSERT_EQ("1", probe.Get("init")) << row;
        EXPECT_EQ(r.msiexec, probe.Get("msiexec")) << row;
        EXPECT_EQ("6", probe.Get("major")) << row;
        EXPECT_EQ(r.minor, probe.Get("minor")) << row;
        EXPECT_EQ(r.index, probe.Get("index")) << row;
        EXPECT_EQ(r.name, probe.Get("name")) << row;
        if (std::string(r.index) == "0")
        {
            EXPECT_EQ(1, probe.Count("ERROR: Could not identify operating system 6.12")) << row;
        }
    }
}

// ---------------------------------------------------------------------------
// Update build revision and release id

TEST(RegistryVersionValues, ReadUBRAcceptsFourByteDwordsOnly)
{
    RegValueRestorer ubr(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"UBR");
    const DWORD dword = 4567;
    const ULONGLONG qword = 4567;
    const WORD shortData = 4567;
    const struct
    {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        DWORD expected;
    } rows[] = {
        {"REG_DWORD", REG_DWORD, &dword, 4, 4567},
        {"REG_DWORD of 2 bytes", REG_DWORD, &shortData, 2, 0},
        {"REG_DWORD of 8 bytes", REG_DWORD, &qword, 8, 0},
        {"REG_QWORD", REG_QWORD, &qword, 8, 0},
        {"REG_BINARY of 4 bytes", REG_BINARY, &dword, 4, 0},
        {"REG_SZ", REG_SZ, L"4567", 10, 0},
        {"missing", REG_NONE, nullptr, 0, 0},
    };
    for (const auto& r : rows)
    {
        if (r.data)
            ASSERT_TRUE(ubr.Set(r.type, r.data, r.size)) << r.what;
        else
            ASSERT_TRUE(ubr.Delete()) << r.what;
        EXPECT_EQ(r.expected, CqzOperatingSystem::ReadUBR()) << r.what;
    }
}

TEST(RegistryVersionValues, ReadReleaseIdParsesTerminatedDecimalStrings)
{
    RegValueRestorer releaseId(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ReleaseId");
    const DWORD dword = 2009;
    const std::wstring tooLong(300, L'1');
    const struct
    {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        DWORD expected;
    } rows[] = {
        {"REG_SZ 2009", REG_SZ, L"2009", 10, 2009},
        {"REG_EXPAND_SZ 1903", REG_EXPAND_SZ, L"1903", 10, 1903},
        {"digits then text", REG_SZ, L"20H2", 10, 20},
        {"largest", REG_SZ, L"4294967295", 22, 4294967295u},
        {"overflow", REG_SZ, L"4294967296", 22, 0},
        {"no digits", REG_SZ, L"abc", 8, 0},
        {"empty text", REG_SZ, L"", 2, 0},
        {"no data", REG_SZ, L"", 0, 0},
        {"sign", REG_SZ, L"-5", 6, 0},
        {"leading blank", REG_SZ, L" 12", 8, 0},
        {"unterminated", REG_SZ, L"20091", 8, 0}, // the registry adds a terminator that follows in memory
        {"odd byte count", REG_SZ, L"2009", 9, 0},
        {"256 characters with terminator", REG_SZ, tooLong.c_str(), 512, 0}, // overflows as a number
        {"longer than 256 characters", REG_SZ, tooLong.c_str(), 602, 0},
        {"REG_DWORD", REG_DWORD, &dword, 4, 0},
        {"REG_MULTI_SZ", REG_MULTI_SZ, L"2009\0", 12, 0},
        {"missing", REG_NONE, nullptr, 0, 0},
    };
    for (const auto& r : rows)
    {
        if (r.data)
            ASSERT_TRUE(releaseId.Set(r.type, r.data, r.size)) << r.what;
        else
            ASSERT_TRUE(releaseId.Delete()) << r.what;
        EXPECT_EQ(r.expected, CqzOperatingSystem::ReadReleaseId()) << r.what;
    }
    // A short number in a full-size buffer is still read.
    std::wstring padded = L"1809";
    padded.resize(255, L'\0');
    ASSERT_TRUE(releaseId.Set(REG_SZ, padded.c_str(), 512));
    EXPECT_EQ(1809u, CqzOperatingSystem::ReadReleaseId());
}

TEST(RegistryVersionValues, CachedValuesKeepWhatInitRead)
{
    ASSERT_TRUE(CqzOperatingSystem::Init());
    RegValueRestorer ubr(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"UBR");
    RegValueRestorer releaseId(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ReleaseId");
    const DWORD cachedUbr = CqzOperatingSystem::GetUBR();
    const DWORD cachedReleaseId = CqzOperatingSystem::GetReleaseId();
    ASSERT_TRUE(ubr.SetDword(cachedUbr + 7));
    ASSERT_TRUE(releaseId.SetString(std::to_wstring(cachedReleaseId + 7)));
    EXPECT_EQ(cachedUbr + 7, CqzOperatingSystem::ReadUBR());
    EXPECT_EQ(cachedReleaseId + 7, CqzOperatingSystem::ReadReleaseId());
    EXPECT_EQ(cachedUbr, CqzOperatingSystem::GetUBR());
    EXPECT_EQ(cachedReleaseId, CqzOperatingSystem::GetReleaseId());
}

TEST(RegistryVersionValues, ReadAtIdentificationFromWindows10On)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-executable version setting";
    ProbeDir probes;
    ASSERT_TRUE(probes.Ready());
    RegValueRestorer ubr(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"UBR");
    RegValueRestorer releaseId(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ReleaseId");
    ASSERT_TRUE(ubr.SetDword(4567));
    ASSERT_TRUE(releaseId.SetString(L"2009"));
    const struct
    {
        const wchar_t* wine;
        const char* ubr;
        const char* releaseId;
    } rows[] = {
        {L"win10", "4567", "2009"},
        {L"win81", "0", "0"},
        {L"win7", "0", "0"},
        {L"winxp", "0", "0"},
    };
    for (const auto& r : rows)
    {
        const ProbeResult probe = probes.Run(L"qzos_ubr_" + std::wstring(r.wine) + L".exe", r.wine);
        ASSERT_TRUE(probe.ran) << U8(r.wine);
        EXPECT_EQ(r.ubr, probe.Get("ubr")) << U8(r.wine);
        EXPECT_EQ(r.releaseId, probe.Get("releaseId")) << U8(r.wine);
    }
}

// ---------------------------------------------------------------------------
// Machine types

typedef BOOL(WINAPI* IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);

IsWow64Process2Fn DirectIsWow64Process2()
{
    return reinterpret_cast<IsWow64Process2Fn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
}

TEST(MachineType, CurrentProcessIsTheBuildsOwn)
{
    qztest::TraceCapture capture;
    USHORT machine = 0xBEEF;
    ASSERT_TRUE(CqzOperatingSystem::GetProcessImageType(nullptr, machine));
    EXPECT_EQ(qztest::kImageMachine, machine); // I386 in the x86 build, AMD64 in x64
    machine = 0xBEEF;
    ASSERT_TRUE(CqzOperatingSystem::GetProcessImageType(::GetCurrentProcess(), machine));
    EXPECT_EQ(qztest::kImageMachine, machine);

    IsWow64Process2Fn isWow64Process2 = DirectIsWow64Process2();
    if (isWow64Process2)
    {
        USHORT processMachine = 0;
        USHORT nativeMachine = 0;
        ASSERT_TRUE(isWow64Process2(::GetCurrentProcess(), &processMachine, &nativeMachine));
        const std::string debug = "DEBUG: IsWow64Process2. processMachine: " + std::to_string(processMachine) +
                                  ", nativeMachine: " + std::to_string(nativeMachine);
        EXPECT_EQ((std::vector<std::string>{debug, debug}), capture.Lines());
        EXPECT_EQ(nativeMachine, CqzOperatingSystem::GetNativeOSImageType());
    }
    else
    {
        BOOL wow64 = FALSE;
        ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
        EXPECT_EQ(wow64 || sizeof(void*) == 8 ? kAmd64 : kI386, CqzOperatingSystem::GetNativeOSImageType());
    }
    const USHORT native = CqzOperatingSystem::GetNativeOSImageType();
    EXPECT_EQ(native == kArm64 || native == kArmNt, CqzOperatingSystem::IsArmNative());
}

// Each Wine environment of the test script has its own truth: win32 is 32-bit
// Windows, wow64 a 32-bit program on 64-bit Windows, win64 a 64-bit program.
TEST(MachineType, TheEnvironmentsOwnTruth)
{
    wchar_t name[16] = {};
    if (!::GetEnvironmentVariableW(L"QZ_WINE_ENV", name, 16))
        GTEST_SKIP() << "QZ_WINE_ENV is not set: run outside the test script's Wine environments";
    const struct
    {
        const wchar_t* env;
        size_t pointerSize;
        BOOL wow64;
        USHORT image, native;
    } rows[] = {
        {L"win32", 4, FALSE, kI386, kI386},
        {L"wow64", 4, TRUE, kI386, kAmd64},
        {L"win64", 8, FALSE, kAmd64, kAmd64},
    };
    bool known = false;
    for (const auto& r : rows)
    {
        if (std::wstring(name) != r.env)
            continue;
        known = true;
        EXPECT_EQ(r.pointerSize, sizeof(void*)) << U8(name) << ": this build does not belong here";
        BOOL wow64 = 2;
        ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
        EXPECT_EQ(r.wow64, wow64) << U8(name);
        USHORT machine = 0;
        ASSERT_TRUE(CqzOperatingSystem::GetProcessImageType(nullptr, machine));
        EXPECT_EQ(r.image, machine) << U8(name);
        EXPECT_EQ(r.native, CqzOperatingSystem::GetNativeOSImageType()) << U8(name);
    }
    EXPECT_TRUE(known) << "unknown environment " << U8(name);
}

TEST(MachineType, OtherProcessHandle)
{
    qztest::ScopedHandle self(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ::GetCurrentProcessId()));
    ASSERT_TRUE(self.IsValid());
    USHORT machine = 0;
    ASSERT_TRUE(CqzOperatingSystem::GetProcessImageType(self.Get(), machine));
    EXPECT_EQ(qztest::kImageMachine, machine);
}

TEST(MachineType, FailureLeavesZeroAndTraces)
{
    qztest::TraceCapture capture;
    USHORT machine = 0xBEEF;
    EXPECT_FALSE(CqzOperatingSystem::GetProcessImageType(reinterpret_cast<HANDLE>(0x4444), machine));
    EXPECT_EQ(0, machine);
    const std::string api = DirectIsWow64Process2() ? "IsWow64Process2" : "IsWow64Process";
    EXPECT_EQ(std::vector<std::string>{"ERROR: " + api + " failed. LastError=6"}, capture.Lines());
}

// ---------------------------------------------------------------------------
// System policy values

TEST(SystemPolicy, ReadsDwordValues)
{
    RegKeySnapshot snapshot(HKEY_LOCAL_MACHINE, kPolicyKey);
    ASSERT_TRUE(qztest::CreateRegKey(HKEY_LOCAL_MACHINE, kPolicyKey));
    RegValueRestorer value(HKEY_LOCAL_MACHINE, kPolicyKey, L"QzTestPolicy");
    const DWORD one = 1;
    const DWORD zero = 0;
    const DWORD big = 0xFFFFFFFF;
    const ULONGLONG qword = 1;
    const WORD shortData = 1;
    const struct
    {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        bool ok;
        DWORD value;
        const char* trace;
    } rows[] = {
        {"dword 1", REG_DWORD, &one, 4, true, 1, nullptr},
        {"dword 0", REG_DWORD, &zero, 4, true, 0, nullptr},
        {"dword max", REG_DWORD, &big, 4, true, 0xFFFFFFFF, nullptr},
        {"missing", REG_NONE, nullptr, 0, false, 0, nullptr},
        {"REG_SZ short", REG_SZ, L"1", 4, false, 0, "ERROR: QzTestPolicy value has unexpected type: 1"},
        {"REG_SZ long", REG_SZ, L"12345", 12, false, 0, "ERROR: QzTestPolicy value has unexpected type: 1"},
        {"REG_BINARY", REG_BINARY, &one, 4, false, 0, "ERROR: QzTestPolicy value has unexpected type: 3"},
        {"REG_QWORD", REG_QWORD, &qword, 8, false, 0, "ERROR: QzTestPolicy value has unexpected type: 11"},
        {"REG_DWORD of 2 bytes", REG_DWORD, &shortData, 2, false, 0,
         "ERROR: RegQueryValueEx(QzTestPolicy) failed. Err=13"},
        {"REG_DWORD of 8 bytes", REG_DWORD, &qword, 8, false, 0,
         "ERROR: RegQueryValueEx(QzTestPolicy) failed. Err=234"},
    };
    for (const auto& r : rows)
    {
        if (r.data)
            ASSERT_TRUE(value.Set(r.type, r.data, r.size)) << r.what;
        else
            ASSERT_TRUE(value.Delete()) << r.what;
        qztest::TraceCapture capture;
        DWORD read = 0xDEADBEEF;
        EXPECT_EQ(r.ok, CqzOperatingSystem::GetSystemPolicyParameter(L"QzTestPolicy", read)) << r.what;
        EXPECT_EQ(r.ok ? r.value : 0xDEADBEEF, read) << r.what; // untouched on failure
        const std::vector<std::string> lines = capture.Lines();
        if (r.trace)
        {
            EXPECT_EQ(std::vector<std::string>{r.trace}, lines) << r.what;
        }
        else
        {
            EXPECT_TRUE(lines.empty()) << r.what << ": " << (lines.empty() ? "" : lines[0]);
        }
    }
}

TEST(SystemPolicy, MissingKeyIsSilent)
{
    RegKeySnapshot snapshot(HKEY_LOCAL_MACHINE, kPolicyKey);
    if (snapshot.HasSubKeys())
        GTEST_SKIP() << "the policy key has subkeys this suite does not restore";
    ASSERT_TRUE(qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, kPolicyKey));
    qztest::TraceCapture capture;
    DWORD value = 0xDEADBEEF;
    EXPECT_FALSE(CqzOperatingSystem::GetSystemPolicyParameter(L"EnableLUA", value));
    EXPECT_EQ(0xDEADBEEF, value);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(SystemPolicy, UnopenableKeyIsTraced)
{
    RegKeySnapshot snapshot(HKEY_LOCAL_MACHINE, kPolicyKey);
    if (snapshot.HasSubKeys())
        GTEST_SKIP() << "the policy key has subkeys this suite does not restore";
    ASSERT_TRUE(qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, kPolicyKey));
    // Everyone is denied reading values; everything else stays allowed so the
    // key can be given back its security and removed.
    PSECURITY_DESCRIPTOR denying = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x1;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1,
                                                                       &denying, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), denying, FALSE};
    HKEY created = nullptr;
    const LSTATUS createStatus = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   &attributes, &created, nullptr);
    ::LocalFree(denying);
    ASSERT_EQ(ERROR_SUCCESS, createStatus);
    ::RegCloseKey(created);

    HKEY probe = nullptr;
    const LSTATUS probeStatus = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, &probe);
    if (probe)
        ::RegCloseKey(probe);

    std::vector<std::string> lines;
    bool ok = true;
    DWORD value = 0xDEADBEEF;
    if (probeStatus == ERROR_ACCESS_DENIED)
    {
        qztest::TraceCapture capture;
        ok = CqzOperatingSystem::GetSystemPolicyParameter(L"EnableLUA", value);
        lines = capture.Lines();
    }
    // Give the key back a plain DACL so the snapshot can rebuild it.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, WRITE_DAC, &key));
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)", SDDL_REVISION_1, &open, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, open));
    ::LocalFree(open);
    ::RegCloseKey(key);

    if (probeStatus != ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "Wine does not apply the key's DACL to this process (open answered " << probeStatus << ")";
    EXPECT_FALSE(ok);
    EXPECT_EQ(0xDEADBEEF, value);
    EXPECT_EQ(std::vector<std::string>{"ERROR: RegOpenKeyEx(Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\"
                                       "System) failed. Err=5"},
              lines);
}

TEST(SystemPolicy, LuaAndFilterAdministratorToken)
{
    ASSERT_TRUE(CqzOperatingSystem::Init());
    if (!CqzOperatingSystem::IsVistaOrLater())
    {
        EXPECT_FALSE(CqzOperatingSystem::IsLUAEnabled());
        EXPECT_FALSE(CqzOperatingSystem::IsFilterAdministratorToken());
        GTEST_SKIP() << "the policy values count from Vista on";
    }
    RegKeySnapshot snapshot(HKEY_LOCAL_MACHINE, kPolicyKey);
    ASSERT_TRUE(qztest::CreateRegKey(HKEY_LOCAL_MACHINE, kPolicyKey));
    RegValueRestorer lua(HKEY_LOCAL_MACHINE, kPolicyKey, L"EnableLUA");
    RegValueRestorer filter(HKEY_LOCAL_MACHINE, kPolicyKey, L"FilterAdministratorToken");
    const struct
    {
        const char* what;
        const wchar_t* stringValue; // set as REG_SZ when not null
        int dwordValue;             // set as REG_DWORD when >= 0; -1: value missing
        bool lua;
        bool filter;
    } rows[] = {
        {"missing", nullptr, -1, true, false}, {"zero", nullptr, 0, false, false},    {"one", nullptr, 1, true, true},
        {"two", nullptr, 2, true, true},       {"unreadable", L"1", -1, true, false},
    };
    for (const auto& r : rows)
    {
        for (const RegValueRestorer* v : {&lua, &filter})
        {
            if (r.stringValue)
                ASSERT_TRUE(v->SetString(r.stringValue)) << r.what;
            else if (r.dwordValue >= 0)
                ASSERT_TRUE(v->SetDword(static_cast<DWORD>(r.dwordValue))) << r.what;
            else
                ASSERT_TRUE(v->Delete()) << r.what;
        }
        EXPECT_EQ(r.lua, CqzOperatingSystem::IsLUAEnabled()) << r.what;
        EXPECT_EQ(r.filter, CqzOperatingSystem::IsFilterAdministratorToken()) << r.what;
    }
}

// ---------------------------------------------------------------------------
// Computer name, directories, tick count

TEST(ComputerName, MatchesTheSystem)
{
    wchar_t expected[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(expected, &size));
    std::wstring name = L"stale";
    qztest::TraceCapture capture;
    ASSERT_TRUE(CqzOperatingSystem::GetComputerNameW(name));
    EXPECT_EQ(U8(expected), U8(name));
    EXPECT_EQ(size, name.size());
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Directories, FetchedOnceAndKept)
{
    wchar_t windowsDir[MAX_PATH] = {};
    wchar_t systemDir[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetSystemWindowsDirectoryW(windowsDir, MAX_PATH));
    ASSERT_NE(0u, ::GetSystemDirectoryW(systemDir, MAX_PATH));
    const std::wstring& windows = CqzOperatingSystem::GetWindowsDirectoryCached();
    const std::wstring& system = CqzOperatingSystem::GetSystemDirectoryCached();
    EXPECT_EQ(U8(windowsDir), U8(windows));
    EXPECT_EQ(U8(systemDir), U8(system));
    EXPECT_EQ(&windows, &CqzOperatingSystem::GetWindowsDirectoryCached());
    EXPECT_EQ(&system, &CqzOperatingSystem::GetSystemDirectoryCached());
    EXPECT_NE(&windows, &system);
}

TEST(TickCount, HundredNanosecondUnitsOfTheMillisecondCount)
{
    for (int i = 0; i < 20; ++i)
    {
        const ULONGLONG before = ::GetTickCount64() * 10000;
        const ULONGLONG units = CqzOperatingSystem::GetTickCount64Units();
        const ULONGLONG after = ::GetTickCount64() * 10000;
        EXPECT_LE(before, units);
        EXPECT_LE(units, after);
        EXPECT_EQ(0u, units % 10000);
    }
}

} // namespace
