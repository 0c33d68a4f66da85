// CqzKeyValueMap and its SAFEARRAY of BSTR pairs: the array it creates, arrays
// passed in (odd counts, other sizes and bounds, wrong shapes) and the pairs
// it reads back.
#include "common/util/key_value_map.h"

#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/keyvalue/keyvalue_model.h"
#include "trace/qztrace.h"

#include <oleauto.h>

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using kvtest::Contents;
using kvtest::Entries;
using kvtest::MapOf;

// Owns a SAFEARRAY of the test, unlocking what is still locked before it goes.
class ArrayHolder
{
public:
    explicit ArrayHolder(SAFEARRAY* array = nullptr) : m_array(array) {}
    ~ArrayHolder()
    {
        if (m_array == nullptr)
            return;
        while (m_array->cLocks)
            ::SafeArrayUnlock(m_array);
        ::SafeArrayDestroy(m_array);
    }
    ArrayHolder(const ArrayHolder&) = delete;
    ArrayHolder& operator=(const ArrayHolder&) = delete;

    SAFEARRAY*& Get() { return m_array; }

private:
    SAFEARRAY* m_array;
};

SAFEARRAY* BstrArray(ULONG count, LONG lowerBound = 0)
{
    SAFEARRAYBOUND bound = {count, lowerBound};
    return ::SafeArrayCreate(VT_BSTR, 1, &bound);
}

// The element as the test reads it straight from the array's memory:
// "(null)" for a null BSTR.
std::wstring ElementAt(SAFEARRAY* array, ULONG position)
{
    const BSTR text = static_cast<BSTR*>(array->pvData)[position];
    return text ? std::wstring(text, ::SysStringLen(text)) : L"(null)";
}

void SetElement(SAFEARRAY* array, ULONG position, const wchar_t* text)
{
    BSTR& slot = static_cast<BSTR*>(array->pvData)[position];
    ::SysFreeString(slot);
    slot = text ? ::SysAllocString(text) : nullptr;
}

std::vector<std::wstring> ElementsOf(SAFEARRAY* array)
{
    std::vector<std::wstring> elements;
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i)
        elements.push_back(ElementAt(array, i));
    return elements;
}

// Key, value, key, value ... of the map in its own order.
std::vector<std::wstring> PairsOf(const CqzKeyValueMap& map)
{
    std::vector<std::wstring> elements;
    for (const auto& entry : map)
    {
        elements.push_back(entry.first);
        elements.push_back(entry.second);
    }
    return elements;
}

TEST(KeyValueSafeArray, CreatedArrayHasTheLayoutAndComesBackLockedOnce)
{
    const std::wstring embedded(L"a\0b", 3);
    for (const Entries& entries : {Entries{}, Entries{{L"k", L"v"}},
                                   Entries{{L"", L"empty key"}, {L"b", L""}, {L"c", embedded}, {L"\u00E9", L"\u20AC"}}})
    {
        const CqzKeyValueMap map = MapOf(entries);
        ArrayHolder holder;
        map.ToSafeArray(holder.Get());
        SAFEARRAY* array = holder.Get();
        ASSERT_NE(nullptr, array) << entries.size() << " entries";
        EXPECT_EQ(1u, ::SafeArrayGetDim(array));
        VARTYPE type = VT_EMPTY;
        EXPECT_EQ(S_OK, ::SafeArrayGetVartype(array, &type));
        EXPECT_EQ(VT_BSTR, type);
        LONG lower = -1;
        EXPECT_EQ(S_OK, ::SafeArrayGetLBound(array, 1, &lower));
        EXPECT_EQ(0, lower);
        EXPECT_EQ(2 * entries.size(), array->rgsabound[0].cElements);
        EXPECT_EQ(1u, array->cLocks);
        EXPECT_EQ(DISP_E_ARRAYISLOCKED, ::SafeArrayDestroy(array));
        EXPECT_EQ(PairsOf(map), ElementsOf(array)) << entries.size() << " entries";

        CqzKeyValueMap back;
        EXPECT_TRUE(back.FromSafeArray(array));
        EXPECT_TRUE(back.IsEqual(map));
        EXPECT_EQ(kvtest::ContentsOf(map), kvtest::ContentsOf(back));
    }
}

TEST(KeyValueSafeArray, ArrayPassedInKeepsItsSize)
{
    const CqzKeyValueMap map = MapOf({{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}});
    const std::vector<std::wstring> pairs = PairsOf(map);
    struct Row
    {
        const char* name;
        ULONG count;
        LONG lowerBound;
    };
    const Row rows[] = {
        {"odd count, shorter than the map", 5, 0},
        {"one element", 1, 0},
        {"no elements", 0, 0},
        {"longer than the map", 9, 0},
        {"lower bound 3, odd count", 3, 3},
    };
    for (const Row& row : rows)
    {
        ArrayHolder holder(BstrArray(row.count, row.lowerBound));
        ASSERT_NE(nullptr, holder.Get()) << row.name;
        for (ULONG i = 0; i < row.count; ++i)
            SetElement(holder.Get(), i, L"old"); // replaced ones are freed by the map
        SAFEARRAY* const passed = holder.Get();
        map.ToSafeArray(holder.Get());
        EXPECT_EQ(passed, holder.Get()) << row.name;
        EXPECT_EQ(0u, holder.Get()->cLocks) << row.name;
        std::vector<std::wstring> expected;
        for (ULONG i = 0; i < row.count; ++i)
            expected.push_back(i < pairs.size() ? pairs[i] : L"old");
        EXPECT_EQ(expected, ElementsOf(holder.Get())) << row.name;
    }
}

TEST(KeyValueSafeArray, OddCountIgnoresTheLastElementOnRead)
{
    struct Row
    {
        const char* name;
        std::vector<const wchar_t*> elements; // null: a null BSTR
        LONG lowerBound;
        Contents contents;
        int emptyKeyLines;
    };
    const Row rows[] = {
        {"three elements", {L"k", L"v", L"alone"}, 0, {{L"k", L"v"}}, 0},
        {"five elements", {L"k1", L"v1", L"k2", L"v2", L"alone"}, 0, {{L"k1", L"v1"}, {L"k2", L"v2"}}, 0},
        {"one element", {L"alone"}, 0, {}, 0},
        {"no elements", {}, 0, {}, 0},
        {"null key skipped", {nullptr, L"v", L"k", L"w"}, 0, {{L"k", L"w"}}, 1},
        {"null value is empty", {L"k", nullptr}, 0, {{L"k", L""}}, 0},
        {"empty key is a key", {L"", L"v"}, 0, {{L"", L"v"}}, 0},
        {"same key twice", {L"k", L"1", L"k", L"2"}, 0, {{L"k", L"2"}}, 0},
        {"lower bound 1, three elements", {L"k", L"v", L"alone"}, 1, {{L"k", L"v"}}, 0},
        {"lower bound -2, two null keys", {nullptr, L"a", nullptr, L"b"}, -2, {}, 2},
    };
    for (const Row& row : rows)
    {
        ArrayHolder holder(BstrArray(static_cast<ULONG>(row.elements.size()), row.lowerBound));
        ASSERT_NE(nullptr, holder.Get()) << row.name;
        for (size_t i = 0; i < row.elements.size(); ++i)
            SetElement(holder.Get(), static_cast<ULONG>(i), row.elements[i]);
        CqzKeyValueMap map = MapOf({{L"held", L"before"}});
        qztest::TraceCapture capture;
        EXPECT_TRUE(map.FromSafeArray(holder.Get())) << row.name;
        Contents expected = row.contents;
        expected.emplace(L"held", L"before");
        EXPECT_EQ(expected, kvtest::ContentsOf(map)) << row.name;
        EXPECT_EQ(qztest::EntriesOf(QZT_INFO, "",
                                    std::vector<std::string>(row.emptyKeyLines, "Safearray contains empty key")),
                  capture.Entries())
            << row.name;
        EXPECT_EQ(0u, holder.Get()->cLocks) << row.name;
    }
}

TEST(KeyValueSafeArray, NullArrayReadsAsNothing)
{
    CqzKeyValueMap map = MapOf({{L"held", L"before"}});
    EXPECT_TRUE(map.FromSafeArray(nullptr));
    EXPECT_EQ((Contents{{L"held", L"before"}}), kvtest::ContentsOf(map));
}

TEST(KeyValueSafeArray, EmbeddedZeroInABstrIsKept)
{
    ArrayHolder holder(BstrArray(2));
    ASSERT_NE(nullptr, holder.Get());
    static_cast<BSTR*>(holder.Get()->pvData)[0] = ::SysAllocStringLen(L"k\0ey", 4);
    static_cast<BSTR*>(holder.Get()->pvData)[1] = ::SysAllocStringLen(L"v\0", 2);
    CqzKeyValueMap map;
    EXPECT_TRUE(map.FromSafeArray(holder.Get()));
    EXPECT_EQ((Contents{{std::wstring(L"k\0ey", 4), std::wstring(L"v\0", 2)}}), kvtest::ContentsOf(map));
}

TEST(KeyValueSafeArray, ArraysOfAnotherShapeAreRefused)
{
    SAFEARRAYBOUND one = {4, 0};
    SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
    struct Row
    {
        const char* name;
        SAFEARRAY* array;
    };
    const Row rows[] = {
        {"VT_I4 vector", ::SafeArrayCreate(VT_I4, 1, &one)},
        {"VT_VARIANT vector", ::SafeArrayCreate(VT_VARIANT, 1, &one)},
        {"two dimensions of VT_BSTR", ::SafeArrayCreate(VT_BSTR, 2, two)},
    };
    const CqzKeyValueMap source = MapOf({{L"k", L"v"}});
    for (const Row& row : rows)
    {
        ArrayHolder holder(row.array);
        ASSERT_NE(nullptr, holder.Get()) << row.name;
        EXPECT_THROW(source.ToSafeArray(holder.Get()), std::invalid_argument) << row.name;
        EXPECT_EQ(row.array, holder.Get()) << row.name;
        CqzKeyValueMap map;
        EXPECT_THROW(map.FromSafeArray(holder.Get()), std::invalid_argument) << row.name;
        EXPECT_TRUE(map.IsEmpty()) << row.name;
    }
}

// Wine does not run out of memory on demand: the allocation of the n-th BSTR
// fails through a hook of the suite's import of SysAllocStringLen, and
// SafeArrayDestroy is watched to see that a created array is not leaked.
int g_allocationsLeft = 0;
decltype(&::SysAllocStringLen) g_realAllocate = nullptr;
BSTR WINAPI FailingAllocate(const OLECHAR* text, UINT length)
{
    return g_allocationsLeft-- > 0 ? g_realAllocate(text, length) : nullptr;
}
decltype(&::SafeArrayDestroy) g_realDestroy = nullptr;
std::vector<std::pair<SAFEARRAY*, HRESULT>> g_destroyed;
HRESULT WINAPI WatchedDestroy(SAFEARRAY* array)
{
    const HRESULT hr = g_realDestroy(array);
    g_destroyed.emplace_back(array, hr);
    return hr;
}

TEST(KeyValueSafeArray, AllocationFailureIsRaisedWithoutLeaks)
{
    const CqzKeyValueMap map = MapOf({{L"a", L"1"}, {L"b", L"2"}});
    qztest::IatHook allocate("oleaut32.dll", "SysAllocStringLen", reinterpret_cast<void*>(&FailingAllocate));
    ASSERT_TRUE(allocate.Installed());
    g_realAllocate = allocate.OriginalAs<decltype(&::SysAllocStringLen)>();
    qztest::IatHook destroy("oleaut32.dll", "SafeArrayDestroy", reinterpret_cast<void*>(&WatchedDestroy));
    ASSERT_TRUE(destroy.Installed());
    g_realDestroy = destroy.OriginalAs<decltype(&::SafeArrayDestroy)>();

    // A created array: destroyed (unlocked first, so the destroy succeeds)
    // and the caller's pointer stays null.
    g_allocationsLeft = 2;
    g_destroyed.clear();
    SAFEARRAY* array = nullptr;
    EXPECT_THROW(map.ToSafeArray(array), std::bad_alloc);
    EXPECT_EQ(nullptr, array);
    ASSERT_EQ(1u, g_destroyed.size());
    EXPECT_EQ(S_OK, g_destroyed[0].second);

    // An array passed in keeps what was written before the failure.
    ArrayHolder holder(BstrArray(4));
    ASSERT_NE(nullptr, holder.Get());
    for (ULONG i = 0; i < 4; ++i)
        SetElement(holder.Get(), i, L"old");
    g_allocationsLeft = 1;
    g_destroyed.clear();
    EXPECT_THROW(map.ToSafeArray(holder.Get()), std::bad_alloc);
    EXPECT_TRUE(g_destroyed.empty());
    const std::vector<std::wstring> pairs = PairsOf(map);
    EXPECT_EQ((std::vector<std::wstring>{pairs[0], L"old", L"old", L"old"}), ElementsOf(holder.Get()));
}

} // namespace
