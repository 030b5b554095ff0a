// The whole translation as the module makes it at start, over English name lists that are
// realistic, large, cut short, malformed or missing.
#include <gtest/gtest.h>
#include <string>

#include "counter_names.h"
#include "pdh_stand_in.h"
#include "sensor_table.h"
#include "state.h"

namespace {

constexpr wchar_t ENGLISH_LIST_KEY[] = L"Software\\KelvrimTests\\Perflib\\009";

// Replaces the English list for one test; the stand-in's own lists come back afterwards.
class EnglishList : public ::testing::Test {
protected:
    // A start writes the default limits into a missing settings key: none before, none after.
    void SetUp() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETTINGS_KEY); }
    void TearDown() override {
        EXPECT_TRUE(pdh_stand_in::RestoreCounterLists());
        SetUp();
    }

    static void Store(const std::wstring& list, DWORD extraBytes = 0) {
        std::string bytes(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t));
        bytes.append(extraBytes, 'x');
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, ENGLISH_LIST_KEY, L"Counter", REG_MULTI_SZ,
                                                 bytes.data(), DWORD(bytes.size())));
    }
    static void RemoveValue() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ENGLISH_LIST_KEY, L"Counter"); }

    // The translation of `name`, or "<none>" when it fails; a failure must leave the caller's
    // buffer and capacity as they were.
    static std::wstring Translate(const wchar_t* name, uint32_t capacity = MAX_PATH) {
        wchar_t out[MAX_PATH];
        wmemset(out, L'#', MAX_PATH);
        const uint32_t given = capacity;
        if (!GetLocalizedCounterName(name, out, &capacity)) {
            EXPECT_EQ(given, capacity);
            EXPECT_EQ(std::wstring(MAX_PATH, L'#'), std::wstring(out, MAX_PATH));
            return L"<none>";
        }
        if (capacity != given) return L"<capacity " + std::to_wstring(capacity) + L">";
        return out;
    }

    // "index\0name\0" pairs from 2 upwards until the list reaches `bytes`.
    static std::wstring Filler(size_t bytes) {
        std::wstring list = std::wstring(L"1") + L'\0' + L"1847" + L'\0';
        for (int i = 2; list.size() * 2 < bytes; i += 2)
            list += std::to_wstring(i) + L'\0' + L"Counter number " + std::to_wstring(i) + L'\0';
        return list;
    }
};

const std::wstring NUL(1, L'\0');

}  // namespace

TEST_F(EnglishList, TheStandInListsTranslateAsOnAnEnglishSystem) {
    EXPECT_EQ(L"Memory", Translate(L"Memory"));
    EXPECT_EQ(L"Page Faults/sec", Translate(L"Page Faults/sec"));
    EXPECT_EQ(L"<capacity 16>", Translate(L"Page Faults/sec", 15));  // no room for the terminator
    EXPECT_EQ(L"<none>", Translate(L"memory"));
}

TEST_F(EnglishList, LargeListsNeedTheSecondRead) {
    for (size_t megabytes : {2u, 8u}) {
        Store(Filler(megabytes << 20) + L"9998" + NUL + L"Memory" + NUL + NUL);
        EXPECT_EQ(L"Memory", Translate(L"Memory")) << megabytes << " MiB";
    }
}

TEST_F(EnglishList, CutShortOrOddSizedListsAreReadOnlyAsFarAsTheyGo) {
    const std::wstring head = Filler(4096) + L"9998" + NUL;
    Store(head + L"Memory");  // ends inside the last name: no terminator of any kind
    EXPECT_EQ(L"Memory", Translate(L"Memory"));
    Store(head + L"Memo");
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
    Store(head + L"Memory" + NUL + NUL, 1);  // a stray last byte is no character
    EXPECT_EQ(L"Memory", Translate(L"Memory"));
    Store(head + L"Memory" + NUL, 1);
    EXPECT_EQ(L"Memory", Translate(L"Memory"));
}

TEST_F(EnglishList, MalformedOrMissingListsFailCleanly) {
    Store(std::wstring());  // an empty value
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
    Store(NUL);
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
    Store(std::wstring(L"4") + NUL + NUL + L"Memory" + NUL + NUL);  // ended before the name
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
    Store(std::wstring(L"Memory") + NUL + L"4" + NUL + NUL);  // the name only where an index stands
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
    Store(std::wstring(3 << 19, L'M'));  // 3 MiB without a single terminator
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
    RemoveValue();
    EXPECT_EQ(L"<none>", Translate(L"Memory"));
}

TEST_F(EnglishList, AStartOverAListWithoutTheNamesFailsAndOneWithThemRuns) {
    SPStartupInfo info = {};
    Store(Filler(64 << 10) + L"9998" + NUL + L"Page Faults/sec" + NUL + NUL);  // no "Memory"
    EXPECT_EQ(0, SPInitialize(nullptr, &info));
    EXPECT_EQ(0, SPUninitialize());
    ASSERT_TRUE(pdh_stand_in::RestoreCounterLists());
    EXPECT_EQ(1, SPInitialize(nullptr, &info));
    EXPECT_EQ(1, SPUninitialize());
}
