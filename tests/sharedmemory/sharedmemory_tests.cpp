// CqzSharedMemory against real sections: named and unnamed, over the paging
// file and over files, shared with a second process; every failure line, and
// no handle or view left behind on any path.
#include "common/sharedmemory/sharedmemory.h"

#include "testing/harness/harness.h"
#include "tests/sharedmemory/sharedmemory_pattern.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

using qztest::ToUtf8;

// The wrapper's failures are ERROR lines of its own class.
qztest::TraceEntries SectionError(const std::string& text)
{
    return {{QZT_ERROR, "CqzSharedMemory", text}};
}

std::wstring UniqueName(const wchar_t* tag)
{
    static LONG counter = 0;
    return std::wstring(L"QzShmTest.") + tag + L"." + std::to_wstring(::GetCurrentProcessId()) + L"." +
           std::to_wstring(::InterlockedIncrement(&counter));
}

// A section made with the plain API, to play the other party.
class RawSection
{
public:
    RawSection(const std::wstring& name, DWORD size, DWORD protect = PAGE_READWRITE, HANDLE file = INVALID_HANDLE_VALUE,
               SECURITY_ATTRIBUTES* sa = nullptr)
    {
        m_mapping = ::CreateFileMappingW(file, sa, protect, 0, size, name.empty() ? nullptr : name.c_str());
        m_error = ::GetLastError();
        if (m_mapping)
        {
            const DWORD access = protect == PAGE_READONLY ? FILE_MAP_READ : FILE_MAP_READ | FILE_MAP_WRITE;
            m_view = static_cast<BYTE*>(::MapViewOfFile(m_mapping, access, 0, 0, 0));
        }
    }
    ~RawSection() { Close(); }
    RawSection(const RawSection&) = delete;
    RawSection& operator=(const RawSection&) = delete;

    void Close()
    {
        if (m_view)
            ::UnmapViewOfFile(m_view);
        if (m_mapping)
            ::CloseHandle(m_mapping);
        m_view = nullptr;
        m_mapping = nullptr;
    }
    bool Ready() const { return m_view != nullptr; }
    DWORD Error() const { return m_error; }
    BYTE* View() const { return m_view; }

private:
    HANDLE m_mapping = nullptr;
    BYTE* m_view = nullptr;
    DWORD m_error = 0;
};

// ERROR_SUCCESS when a section of that name exists, else why it cannot be opened.
DWORD OpenError(const std::wstring& name)
{
    HANDLE h = ::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    const DWORD error = ::GetLastError();
    if (!h)
        return error;
    ::CloseHandle(h);
    return ERROR_SUCCESS;
}

// Handle count of this process, for checking that a path closes what it opened.
// Wine reports 0 handles for every process: there the checks that a section's
// name disappears with its last owner carry the load.
class HandleCount
{
public:
    HandleCount() { m_before = Now(); }
    // Whether the system reports handle counts at all.
    static bool Supported()
    {
        static const bool supported = []
        {
            const DWORD before = Now();
            qztest::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            return before != 0 && Now() == before + 1;
        }();
        return supported;
    }
    void ExpectUnchanged(const char* what) const
    {
        if (Supported())
        {
            EXPECT_EQ(m_before, Now()) << what << ": handle count changed";
        }
    }

private:
    static DWORD Now()
    {
        DWORD count = 0;
        return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? count : 0;
    }
    DWORD m_before = 0;
};

// A descriptor from SDDL with its SECURITY_ATTRIBUTES.
class SddlAttributes
{
public:
    explicit SddlAttributes(const wchar_t* sddl)
    {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &m_sd, nullptr);
        m_sa.nLength = sizeof(m_sa);
        m_sa.lpSecurityDescriptor = m_sd;
        m_sa.bInheritHandle = FALSE;
    }
    ~SddlAttributes()
    {
        if (m_sd)
            ::LocalFree(m_sd);
    }
    SddlAttributes(const SddlAttributes&) = delete;
    SddlAttributes& operator=(const SddlAttributes&) = delete;
    bool Ready() const { return m_sd != nullptr; }
    SECURITY_ATTRIBUTES* Get() { return &m_sa; }

private:
    PSECURITY_DESCRIPTOR m_sd = nullptr;
    SECURITY_ATTRIBUTES m_sa = {};
};

bool RunningAsLocalSystem()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    qztest::ScopedHandle owner(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size))
        return false;
    return ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;
}

// A file of the given bytes, opened for reading.
class ReadOnlyFile
{
public:
    ReadOnlyFile(const qztest::TempDir& dir, const std::string& content) : m_path(dir / L"data.bin")
    {
        if (qztest::WriteTextFile(m_path, content))
            m_file.Reset(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    bool Ready() const { return m_file.IsValid(); }
    HANDLE Get() const { return m_file.Get(); }
    const std::wstring& Path() const { return m_path; }
    void Close() { m_file.Reset(); }

private:
    std::wstring m_path;
    qztest::ScopedHandle m_file;
};

std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(qztest::ParentPattern(static_cast<DWORD>(i)));
    return bytes;
}

MEMORY_BASIC_INFORMATION Query(const void* address)
{
    MEMORY_BASIC_INFORMATION info = {};
    ::VirtualQuery(address, &info, sizeof(info));
    return info;
}

std::wstring ChildExe()
{
    return qztest::BinDir() + L"\\qz_sharedmemory_child.exe";
}

qztest::ProcessResult RunChild(const wchar_t* mode, const std::wstring& name)
{
    const std::wstring exe = ChildExe();
    return qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + mode + L" " + qztest::QuoteArg(name));
}

// ---------------------------------------------------------------------------

TEST(SharedMemory, NewObjectHoldsNothing)
{
    CqzSharedMemory shm;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), shm.GetError());
    EXPECT_EQ(nullptr, shm.GetView());

    qztest::TraceCapture capture;
    ::SetLastError(0xDEADBEEF);
    EXPECT_EQ(0u, shm.GetRegionSize());
    EXPECT_EQ(0xDEADBEEFu, ::GetLastError());
    EXPECT_EQ(SectionError("ERROR: SharedMemory is not open"), capture.Entries());

    shm.ZeroView(100);
    shm.Close();
    EXPECT_EQ(nullptr, shm.GetView());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), shm.GetError());
}

TEST(SharedMemory, CreateMakesAZeroedReadWriteSection)
{
    const std::wstring name = UniqueName(L"create");
    qztest::TraceCapture capture;
    {
        CqzSharedMemory shm;
        BYTE* view = shm.Create(name.c_str(), nullptr);
        ASSERT_NE(nullptr, view);
        EXPECT_EQ(view, shm.GetView());
        EXPECT_EQ(static_cast<SIZE_T>(QZ_CIC_SECTION_SIZE), shm.GetRegionSize());
        for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
            ASSERT_EQ(0, view[i]) << "byte " << i;
        const MEMORY_BASIC_INFORMATION info = Query(view);
        EXPECT_EQ(static_cast<DWORD>(PAGE_READWRITE), info.Protect);
        EXPECT_EQ(static_cast<DWORD>(MEM_MAPPED), info.Type);

        // The named section is what another opener sees.
        view[0] = 0x5A;
        view[QZ_CIC_SECTION_SIZE - 1] = 0xA5;
        CqzSharedMemory other;
        const BYTE* seen = other.Open(name.c_str(), FILE_MAP_READ);
        ASSERT_NE(nullptr, seen);
        EXPECT_EQ(0x5A, seen[0]);
        EXPECT_EQ(0xA5, seen[QZ_CIC_SECTION_SIZE - 1]);
    }
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(name)) << "section outlived its owners";
}

TEST(SharedMemory, CreateOfAnExistingNameOpensAndZeroesIt)
{
    const std::wstring name = UniqueName(L"existing");
    RawSection existing(name, QZ_CIC_SECTION_SIZE);
    ASSERT_TRUE(existing.Ready());
    std::memset(existing.View(), 0x5A, QZ_CIC_SECTION_SIZE);

    // The descriptor of a later Create plays no part once the section exists.
    SddlAttributes systemOnly(L"D:(A;;GA;;;SY)");
    ASSERT_TRUE(systemOnly.Ready());

    CqzSharedMemory shm;
    BYTE* view = shm.Create(name.c_str(), systemOnly.Get());
    ASSERT_NE(nullptr, view);
    EXPECT_NE(existing.View(), view);
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
    {
        ASSERT_EQ(0, view[i]) << "byte " << i;
        ASSERT_EQ(0, existing.View()[i]) << "byte " << i << " as the other party sees it";
    }
    EXPECT_EQ(ERROR_SUCCESS, OpenError(name));
}

TEST(SharedMemory, CreateAppliesTheSecurityAttributes)
{
    if (RunningAsLocalSystem())
        GTEST_SKIP() << "running as LocalSystem: a LocalSystem-only DACL denies nothing";
    const std::wstring name = UniqueName(L"dacl");
    SddlAttributes systemOnly(L"D:(A;;GA;;;SY)");
    ASSERT_TRUE(systemOnly.Ready());

    CqzSharedMemory shm;
    ASSERT_NE(nullptr, shm.Create(name.c_str(), systemOnly.Get()));
    const DWORD error = OpenError(name);
    if (error == ERROR_SUCCESS)
        GTEST_SKIP() << "Wine grants access to a named section regardless of its DACL";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
}

TEST(SharedMemory, CreateOfADeniedGlobalSectionFailsWithAccessDenied)
{
    if (RunningAsLocalSystem())
        GTEST_SKIP() << "running as LocalSystem: a LocalSystem-only DACL denies nothing";
    const std::wstring name = L"Global\\" + UniqueName(L"denied");
    SddlAttributes systemOnly(L"D:(A;;GA;;;SY)");
    ASSERT_TRUE(systemOnly.Ready());
    RawSection existing(name, QZ_CIC_SECTION_SIZE, PAGE_READWRITE, INVALID_HANDLE_VALUE, systemOnly.Get());
    ASSERT_TRUE(existing.Ready()) << "error " << existing.Error();
    if (OpenError(name) == ERROR_SUCCESS)
        GTEST_SKIP() << "Wine grants access to a named section regardless of its DACL";

    qztest::TraceCapture capture;
    HandleCount handles;
    CqzSharedMemory shm;
    ::SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, shm.Create(name.c_str(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), shm.GetError());
    EXPECT_EQ(shm.GetError(), ::GetLastError());
    EXPECT_EQ(nullptr, shm.GetView());
    EXPECT_EQ(SectionError("ERROR: CreateFileMapping(" + ToUtf8(name) + ", 8192) failed. LastError=5"),
              capture.Entries());
    handles.ExpectUnchanged("denied Create");
}

TEST(SharedMemory, GlobalNameIsTheSameSectionForEveryOpener)
{
    const std::wstring name = L"Global\\" + UniqueName(L"global");
    CqzSharedMemory shm;
    BYTE* view = shm.Create(name.c_str(), nullptr);
    ASSERT_NE(nullptr, view) << "error " << shm.GetError();
    view[17] = 0x42;
    CqzSharedMemory reader;
    const BYTE* seen = reader.Open(name.c_str(), FILE_MAP_READ);
    ASSERT_NE(nullptr, seen);
    EXPECT_EQ(0x42, seen[17]);
}

// Someone else made a section of the channel's name, smaller than a record
// needs: Create must not zero or hand out memory beyond it.
TEST(SharedMemory, CreateRefusesAnExistingSmallerSection)
{
    const std::wstring name = UniqueName(L"small");
    RawSection existing(name, 4096);
    ASSERT_TRUE(existing.Ready());
    std::memset(existing.View(), 0xAB, 4096);

    qztest::TraceCapture capture;
    HandleCount handles;
    CqzSharedMemory shm;
    ::SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, shm.Create(name.c_str(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), shm.GetError());
    EXPECT_EQ(shm.GetError(), ::GetLastError());
    EXPECT_EQ(nullptr, shm.GetView());
    EXPECT_EQ(SectionError("ERROR: Shared memory [" + ToUtf8(name) + "] has 4096 bytes, less than 8192."),
              capture.Entries());
    for (DWORD i = 0; i < 4096; ++i)
        ASSERT_EQ(0xAB, existing.View()[i]) << "byte " << i << " was written";
    handles.ExpectUnchanged("refused Create");

    existing.Close();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(name)) << "Create kept a handle";
}

// A name taken by an object of another type fails every way of getting at it.
TEST(SharedMemory, NameOfAnotherObjectTypeFailsWithItsLine)
{
    const std::wstring name = UniqueName(L"mutex");
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex.IsValid());
    const std::string n = ToUtf8(name);

    const struct
    {
        const char* op;
        BYTE* (*call)(CqzSharedMemory& shm, const wchar_t* name);
        std::string line;
    } rows[] = {
        {"Create", [](CqzSharedMemory& s, const wchar_t* nm) { return s.Create(nm, nullptr); },
         "ERROR: CreateFileMapping(" + n + ", 8192) failed. LastError=6"},
        {"CreateForRead",
         [](CqzSharedMemory& s, const wchar_t* nm)
         { return const_cast<BYTE*>(s.CreateForRead(INVALID_HANDLE_VALUE, nm, 100, nullptr)); },
         "ERROR: CreateFileMapping(" + n + ", 100) failed. LastError=6"},
        {"Open", [](CqzSharedMemory& s, const wchar_t* nm) { return s.Open(nm, FILE_MAP_READ); },
         "ERROR: Failed to open shared memory [" + n + "] with access 4. LastError=6"},
    };
    for (const auto& row : rows)
    {
        qztest::TraceCapture capture;
        HandleCount handles;
        CqzSharedMemory shm;
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(nullptr, row.call(shm, name.c_str())) << "row " << row.op;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), shm.GetError()) << "row " << row.op;
        EXPECT_EQ(shm.GetError(), ::GetLastError()) << "row " << row.op;
        EXPECT_EQ(nullptr, shm.GetView()) << "row " << row.op;
        EXPECT_EQ(SectionError(row.line), capture.Entries()) << "row " << row.op;
        handles.ExpectUnchanged(row.op);
    }
}

// A read-only section over a file: mapping it for writing fails after the
// handle was obtained, and that handle must not stay behind.
TEST(SharedMemory, MapFailureReleasesTheMapping)
{
    qztest::TempDir dir;
    ReadOnlyFile file(dir, Pattern(QZ_CIC_SECTION_SIZE));
    ASSERT_TRUE(file.Ready());
    const std::wstring name = UniqueName(L"readonly");
    const std::string n = ToUtf8(name);
    auto existing = std::make_unique<RawSection>(name, 0, PAGE_READONLY, file.Get());
    ASSERT_TRUE(existing->Ready()) << "error " << existing->Error();

    const struct
    {
        const char* op;
        BYTE* (*call)(CqzSharedMemory& shm, const wchar_t* name);
        std::string line;
    } rows[] = {
        {"Create", [](CqzSharedMemory& s, const wchar_t* nm) { return s.Create(nm, nullptr); },
         "ERROR: MapViewOfFile(" + n + ", 8192) failed. LastError=5"},
        {"Open", [](CqzSharedMemory& s, const wchar_t* nm) { return s.Open(nm, FILE_MAP_WRITE); },
         "ERROR: Failed to open shared memory [" + n + "] with access 2. LastError=5"},
    };
    for (const auto& row : rows)
    {
        qztest::TraceCapture capture;
        HandleCount handles;
        CqzSharedMemory shm;
        ::SetLastError(0xDEADBEEF);
        BYTE* view = row.call(shm, name.c_str());
        if (view && row.op == std::string("Create"))
        {
            // Wine maps a read-only section for writing.
            GTEST_SKIP() << "Wine maps a PAGE_READONLY section with FILE_MAP_WRITE";
        }
        EXPECT_EQ(nullptr, view) << "row " << row.op;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), shm.GetError()) << "row " << row.op;
        EXPECT_EQ(shm.GetError(), ::GetLastError()) << "row " << row.op;
        EXPECT_EQ(nullptr, shm.GetView()) << "row " << row.op;
        EXPECT_EQ(SectionError(row.line), capture.Entries()) << "row " << row.op;
        handles.ExpectUnchanged(row.op);
    }
    // Nothing of ours keeps the section: it goes with the last raw handle.
    existing.reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(name));
    EXPECT_EQ(std::string(Pattern(QZ_CIC_SECTION_SIZE)), qztest::ReadTextFile(file.Path())) << "file was written";
}

TEST(SharedMemory, ASecondCreateReleasesTheFirst)
{
    const std::wstring first = UniqueName(L"first");
    const std::wstring second = UniqueName(L"second");
    CqzSharedMemory shm;
    BYTE* firstView = shm.Create(first.c_str(), nullptr);
    ASSERT_NE(nullptr, firstView);
    BYTE* secondView = shm.Create(second.c_str(), nullptr);
    ASSERT_NE(nullptr, secondView);
    EXPECT_EQ(secondView, shm.GetView());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(first));
    EXPECT_EQ(ERROR_SUCCESS, OpenError(second));
    if (firstView != secondView)
    {
        EXPECT_NE(static_cast<DWORD>(MEM_MAPPED), Query(firstView).Type) << "first view still mapped";
    }

    // A failing create releases what the object held as well.
    const std::wstring mutexName = UniqueName(L"taken");
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, mutexName.c_str()));
    ASSERT_TRUE(mutex.IsValid());
    EXPECT_EQ(nullptr, shm.Create(mutexName.c_str(), nullptr));
    EXPECT_EQ(nullptr, shm.GetView());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(second));
}

TEST(SharedMemory, CloseAndDestructionRelease)
{
    HandleCount handles;
    const std::wstring name = UniqueName(L"close");
    {
        CqzSharedMemory shm;
        BYTE* view = shm.Create(name.c_str(), nullptr);
        ASSERT_NE(nullptr, view);
        ::SetLastError(0xDEADBEEF);
        shm.Close();
        EXPECT_EQ(0xDEADBEEFu, ::GetLastError());
        EXPECT_EQ(nullptr, shm.GetView());
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(name));
        shm.Close();

        ASSERT_NE(nullptr, shm.Create(name.c_str(), nullptr));
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(name));
    handles.ExpectUnchanged("create, close, create, destroy");
}

TEST(SharedMemory, CreateForReadOverAFile)
{
    qztest::TempDir dir;
    const std::string content = Pattern(10000);
    ReadOnlyFile file(dir, content);
    ASSERT_TRUE(file.Ready());

    const struct
    {
        const char* name;
        DWORD size;
        bool named;
    } rows[] = {{"whole file, unnamed", 0, false}, {"exact size, named", 10000, true}, {"first 5000", 5000, false}};
    for (const auto& row : rows)
    {
        qztest::TraceCapture capture;
        const std::wstring name = row.named ? UniqueName(L"file") : std::wstring();
        {
            CqzSharedMemory shm;
            const BYTE* view = shm.CreateForRead(file.Get(), row.named ? name.c_str() : nullptr, row.size, nullptr);
            ASSERT_NE(nullptr, view) << "row " << row.name << ": error " << shm.GetError();
            const DWORD mapped = row.size ? row.size : 10000;
            EXPECT_EQ(0, std::memcmp(content.data(), view, mapped)) << "row " << row.name;
            EXPECT_EQ(static_cast<SIZE_T>((mapped + 4095) / 4096 * 4096), shm.GetRegionSize()) << "row " << row.name;
            EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), Query(view).Protect) << "row " << row.name;
            if (row.named)
            {
                CqzSharedMemory other;
                const BYTE* seen = other.Open(name.c_str(), FILE_MAP_READ);
                ASSERT_NE(nullptr, seen) << "row " << row.name;
                EXPECT_EQ(0, std::memcmp(content.data(), seen, mapped)) << "row " << row.name;
            }
        }
        EXPECT_TRUE(capture.Lines().empty()) << "row " << row.name << ": " << capture.Text();
        if (row.named)
        {
            EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(name)) << "row " << row.name;
        }
    }

    // The file handle stays the caller's, and no mapping holds the file.
    BYTE first = 0;
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(file.Get(), &first, 1, &read, nullptr));
    EXPECT_EQ(static_cast<BYTE>(content[0]), first);
    file.Close();
    EXPECT_TRUE(::DeleteFileW(file.Path().c_str())) << "error " << ::GetLastError();
}

TEST(SharedMemory, CreateForReadOverThePagingFile)
{
    CqzSharedMemory shm;
    const BYTE* view = shm.CreateForRead(INVALID_HANDLE_VALUE, nullptr, 5000, nullptr);
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(8192u, shm.GetRegionSize());
    EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), Query(view).Protect);
    for (DWORD i = 0; i < 5000; ++i)
        ASSERT_EQ(0, view[i]) << "byte " << i;
}

TEST(SharedMemory, CreateForReadOfAnEmptyFileFails)
{
    qztest::TempDir dir;
    ReadOnlyFile file(dir, "");
    ASSERT_TRUE(file.Ready());
    const std::wstring name = UniqueName(L"empty");

    qztest::TraceCapture capture;
    HandleCount handles;
    CqzSharedMemory shm;
    EXPECT_EQ(nullptr, shm.CreateForRead(file.Get(), name.c_str(), 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID), shm.GetError());
    EXPECT_EQ(nullptr, shm.GetView());
    EXPECT_EQ(SectionError("ERROR: CreateFileMapping(" + ToUtf8(name) + ", 0) failed. LastError=1006"),
              capture.Entries());
    handles.ExpectUnchanged("CreateForRead of an empty file");
}

TEST(SharedMemory, OpenAnExistingSection)
{
    const std::wstring name = UniqueName(L"open");
    RawSection existing(name, QZ_CIC_SECTION_SIZE);
    ASSERT_TRUE(existing.Ready());
    const std::string pattern = Pattern(QZ_CIC_SECTION_SIZE);
    std::memcpy(existing.View(), pattern.data(), pattern.size());

    qztest::TraceCapture capture;
    {
        CqzSharedMemory reader;
        const BYTE* view = reader.Open(name.c_str(), FILE_MAP_READ);
        ASSERT_NE(nullptr, view);
        EXPECT_EQ(0, std::memcmp(pattern.data(), view, pattern.size())) << "Open must not zero the section";
        EXPECT_EQ(static_cast<SIZE_T>(QZ_CIC_SECTION_SIZE), reader.GetRegionSize());
        EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), Query(view).Protect);

        CqzSharedMemory writer;
        BYTE* rw = writer.Open(name.c_str(), FILE_MAP_READ | FILE_MAP_WRITE);
        ASSERT_NE(nullptr, rw);
        rw[100] = 0x11;
        EXPECT_EQ(0x11, existing.View()[100]);
        EXPECT_EQ(0x11, view[100]);
    }
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST(SharedMemory, OpenOfAMissingName)
{
    const std::wstring name = UniqueName(L"missing");
    const struct
    {
        DWORD access;
        const char* shown;
    } rows[] = {{FILE_MAP_READ, "4"}, {FILE_MAP_READ | FILE_MAP_WRITE, "6"}, {FILE_MAP_ALL_ACCESS, "983071"}};
    for (const auto& row : rows)
    {
        qztest::TraceCapture capture;
        HandleCount handles;
        CqzSharedMemory shm;
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(nullptr, shm.Open(name.c_str(), row.access)) << "access " << row.shown;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), shm.GetError()) << "access " << row.shown;
        EXPECT_EQ(shm.GetError(), ::GetLastError()) << "access " << row.shown;
        EXPECT_EQ(nullptr, shm.GetView());
        EXPECT_EQ(SectionError("ERROR: Failed to open shared memory [" + ToUtf8(name) + "] with access " + row.shown +
                               ". LastError=2"),
                  capture.Entries());
        handles.ExpectUnchanged("Open of a missing name");
    }
}

TEST(SharedMemory, TryOpenIsSilent)
{
    const std::wstring name = UniqueName(L"try");
    qztest::TraceCapture capture;
    {
        CqzSharedMemory shm;
        DWORD error = 0xDEADBEEF;
        EXPECT_EQ(nullptr, shm.TryOpen(name.c_str(), FILE_MAP_READ, error));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), shm.GetError());

        RawSection existing(name, QZ_CIC_SECTION_SIZE);
        ASSERT_TRUE(existing.Ready());
        existing.View()[5] = 0x55;
        const BYTE* view = shm.TryOpen(name.c_str(), FILE_MAP_READ, error);
        ASSERT_NE(nullptr, view);
        EXPECT_EQ(0x55, view[5]);
        EXPECT_EQ(shm.GetError(), error);
    }
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST(SharedMemory, ZeroViewStaysInsideTheView)
{
    const std::wstring name = UniqueName(L"zero");
    RawSection existing(name, QZ_CIC_SECTION_SIZE);
    ASSERT_TRUE(existing.Ready());
    std::memset(existing.View(), 0x77, QZ_CIC_SECTION_SIZE);

    CqzSharedMemory shm;
    BYTE* view = shm.Open(name.c_str(), FILE_MAP_READ | FILE_MAP_WRITE);
    ASSERT_NE(nullptr, view);
    shm.ZeroView(100);
    EXPECT_EQ(0, view[0]);
    EXPECT_EQ(0, view[99]);
    EXPECT_EQ(0x77, view[100]);
    shm.ZeroView(0);
    EXPECT_EQ(0x77, view[100]);
    shm.ZeroView(1u << 20);
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
        ASSERT_EQ(0, existing.View()[i]) << "byte " << i;
}

// ---------------------------------------------------------------------------
// Another process

TEST(SharedMemoryAcrossProcesses, ChildOpensVerifiesAndAnswers)
{
    const std::wstring name = UniqueName(L"child");
    CqzSharedMemory shm;
    BYTE* view = shm.Create(name.c_str(), nullptr);
    ASSERT_NE(nullptr, view);
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
        view[i] = qztest::ParentPattern(i);

    const qztest::ProcessResult r = RunChild(L"verify", name);
    ASSERT_TRUE(r.started) << "error " << r.error;
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(0u, r.exitCode) << std::hex << "child exit code 0x" << r.exitCode;
    for (DWORD i = 0; i < QZ_CIC_SECTION_SIZE; ++i)
        ASSERT_EQ(qztest::ChildPattern(i), view[i]) << "byte " << i;
}

TEST(SharedMemoryAcrossProcesses, ChildCreateOpensAndZeroesOurSection)
{
    const std::wstring name = UniqueName(L"childcreate");
    CqzSharedMemory shm;
    BYTE* view = shm.Create(name.c_str(), nullptr);
    ASSERT_NE(nullptr, view);
    std::memset(view, 0x3C, QZ_CIC_SECTION_SIZE);

    const qztest::ProcessResult r = RunChild(L"create", name);
    ASSERT_TRUE(r.started) << "error " << r.error;
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(0u, r.exitCode) << std::hex << "child exit code 0x" << r.exitCode;
    EXPECT_EQ(0, std::memcmp(qztest::kChildMarker, view, sizeof(qztest::kChildMarker)));
    for (DWORD i = sizeof(qztest::kChildMarker); i < QZ_CIC_SECTION_SIZE; ++i)
        ASSERT_EQ(0, view[i]) << "byte " << i;
}

TEST(SharedMemoryAcrossProcesses, ChildReadOnlyViewAndMissingName)
{
    const std::wstring name = UniqueName(L"childro");
    {
        CqzSharedMemory shm;
        BYTE* view = shm.Create(name.c_str(), nullptr);
        ASSERT_NE(nullptr, view);
        view[0] = qztest::ParentPattern(0);

        const qztest::ProcessResult r = RunChild(L"readonly", name);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(0u, r.exitCode) << std::hex << "child exit code 0x" << r.exitCode;
    }
    // Gone with its only owner: the child's TryOpen reports the full error.
    const qztest::ProcessResult r = RunChild(L"tryopen", name);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), r.exitCode);
}

} // namespace
