// Counter-name translation: the walk over two lists, the list read, and the whole lookup as the
// platform serves it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "counter_names.h"
#include "guarded_buffer.h"

namespace {

// A REG_MULTI_SZ from its strings, with the closing empty string.
std::wstring MultiSz(std::initializer_list<const wchar_t*> strings) {
    std::wstring list;
    for (const wchar_t* s : strings) list.append(s).push_back(L'\0');
    list.push_back(L'\0');
    return list;
}

const std::wstring english = MultiSz({L"1", L"1847", L"2", L"System", L"4", L"Memory", L"6",
                                      L"% Processor Time", L"28", L"Page Faults/sec", L"30",
                                      L"Memory"});
const std::wstring german = MultiSz({L"1", L"1847", L"2", L"System", L"4", L"Speicher", L"6",
                                     L"Prozessorzeit (%)", L"28", L"Seitenfehler/s", L"30", L"Zweiter"});

std::wstring Walk(const std::wstring& en, const std::wstring& local, const wchar_t* name) {
    ListString result = {nullptr, 0};
    if (!WalkCounterLists(en.data(), en.size(), local.data(), local.size(), name, result))
        return L"<none>";
    return std::wstring(result.text, result.length);
}

}  // namespace

TEST(CounterListWalk, PairsNamesByPosition) {
    struct Case {
        const std::wstring& localized;
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {english, L"Memory", L"Memory"},
        {english, L"Page Faults/sec", L"Page Faults/sec"},
        {german, L"Memory", L"Speicher"},  // first occurrence wins over the one at 30
        {german, L"Page Faults/sec", L"Seitenfehler/s"},
        {german, L"memory", L"<none>"},  // case-sensitive
        {german, L"Page Faults", L"<none>"},  // whole string
        {german, L"28", L"<none>"},  // index numbers are not names
        {german, L"1847", L"1847"},  // the name of index 1 on real systems
        {german, L"", L"<none>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, Walk(english, c.localized, c.name)) << c.name;
    }
}

TEST(CounterListWalk, ShortOrMisalignedLocalizedLists) {
    // Entries missing from the localized list shift the pairing; the walk still answers.
    std::wstring missing = MultiSz({L"1", L"1847", L"4", L"Speicher", L"6", L"Prozessorzeit (%)"});
    EXPECT_EQ(L"Prozessorzeit (%)", Walk(english, missing, L"Memory"));
    EXPECT_EQ(L"<none>", Walk(english, missing, L"Page Faults/sec"));  // ends before the position
    EXPECT_EQ(L"<none>", Walk(english, std::wstring(), L"Memory"));
}

namespace {

// Characters that end exactly where an inaccessible page begins: a walk that reads one past
// them faults instead of finding whatever happens to follow.
struct AtPageEnd {
    explicit AtPageEnd(const std::wstring& chars)
        : buffer(chars.size() * sizeof(wchar_t)), length(chars.size()) {
        if (length) wmemcpy(text(), chars.data(), length);
    }
    wchar_t* text() { return buffer.as<wchar_t>(); }
    support::GuardedBuffer buffer;
    size_t length;
};

std::wstring WalkAtPageEnds(const std::wstring& en, const std::wstring& local, const wchar_t* name) {
    AtPageEnd english(en), localized(local);
    ListString result = {nullptr, 0};
    if (!WalkCounterLists(english.text(), english.length, localized.text(), localized.length, name, result))
        return L"<none>";
    return std::wstring(result.text, result.length);
}

}  // namespace

TEST(CounterListWalk, NeverReadsPastTheReportedData) {
    // Lists cut anywhere, without their terminators, each ending at an inaccessible page.
    const size_t needed = english.find(L"Page Faults/sec") + 15;  // the name, unterminated
    for (size_t cut = 0; cut <= english.size(); ++cut) {
        EXPECT_EQ(cut >= needed ? L"Seitenfehler/s" : L"<none>",
                  WalkAtPageEnds(english.substr(0, cut), german, L"Page Faults/sec"))
            << cut;
    }
    const size_t at = german.find(L"Seitenfehler/s");
    for (size_t cut = 0; cut <= german.size(); ++cut) {
        const std::wstring expected = cut <= at ? L"<none>" : german.substr(at, std::min<size_t>(cut - at, 14));
        EXPECT_EQ(expected, WalkAtPageEnds(english, german.substr(0, cut), L"Page Faults/sec")) << cut;
    }
}

TEST(LanguageName, ThreeHexDigits) {
    const struct {
        uint32_t language;
        const wchar_t* name;
    } cases[] = {{9, L"009"}, {7, L"007"}, {0x0C, L"00C"}, {0x10, L"010"}, {0x1A, L"01A"}};
    for (const auto& c : cases) {
        wchar_t name[4];
        LanguageKeyName(c.language, name);
        EXPECT_STREQ(c.name, name);
    }
}

namespace {

constexpr wchar_t TEST_KEY[] = L"Software\\KelvrimTests\\CounterLists";

// An ordinary key that holds (or lacks) a "Counter" value of the given bytes.
struct ListKey {
    RegKey key;
    explicit ListKey(const void* data, DWORD bytes, DWORD type = REG_MULTI_SZ) {
        RegDeleteKeyW(HKEY_CURRENT_USER, TEST_KEY);
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, TEST_KEY, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
        if (data) {
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"Counter", 0, type,
                                                    static_cast<const BYTE*>(data), bytes));
        }
    }
    ~ListKey() {
        key.reset();
        RegDeleteKeyW(HKEY_CURRENT_USER, TEST_KEY);
    }
};

}  // namespace

TEST(CounterListRead, ALargeListSucceedsOnTheSecondRead) {
    std::wstring big;
    for (int i = 0; big.size() * 2 < 1536 * 1024; ++i)
        big += std::to_wstring(2 * i) + L'\0' + L"Counter name number " + std::to_wstring(i) + L'\0';
    big += L"9990" + std::wstring(1, L'\0') + L"Memory" + std::wstring(2, L'\0');
    ListKey key(big.data(), DWORD(big.size() * 2));
    CounterList list;
    ASSERT_TRUE(ReadCounterList(key.key.get(), list));
    EXPECT_EQ(big.size() * 2, list.bytes);
    EXPECT_EQ(0, memcmp(big.data(), list.chars(), list.bytes));
    EXPECT_EQ(L"Memory", Walk(std::wstring(list.chars(), list.length()), big, L"Memory"));
}

TEST(CounterListRead, UnterminatedAndOddSizedListsKeepTheirReportedSize) {
    const wchar_t raw[] = {L'4', 0, L'M', L'e', L'm'};  // cut inside a name, no terminators
    {
        ListKey key(raw, sizeof raw, REG_BINARY);  // the stored type is not looked at
        CounterList list;
        ASSERT_TRUE(ReadCounterList(key.key.get(), list));
        EXPECT_EQ(sizeof raw, list.bytes);
        EXPECT_EQ(5u, list.length());
    }
    {
        ListKey key(raw, sizeof raw - 1, REG_BINARY);  // odd: the last half character is no character
        CounterList list;
        ASSERT_TRUE(ReadCounterList(key.key.get(), list));
        EXPECT_EQ(sizeof raw - 1, list.bytes);
        EXPECT_EQ(4u, list.length());
    }
}

TEST(CounterListRead, AMissingValueFails) {
    ListKey key(nullptr, 0);
    CounterList list;
    EXPECT_FALSE(ReadCounterList(key.key.get(), list));
    EXPECT_FALSE(list.data);
}

TEST(LocalizedCounterName, WineServesNoMemoryObjectSoTheCallerIsUntouched) {
    // The platform's own English list here is a fixed stub without "Memory".
    wchar_t out[16];
    wmemset(out, L'x', 16);
    uint32_t capacity = 16;
    EXPECT_EQ(0, GetLocalizedCounterName(L"Memory", out, &capacity));
    EXPECT_EQ(16u, capacity);
    EXPECT_EQ(std::wstring(16, L'x'), std::wstring(out, 16));
    EXPECT_EQ(0, GetLocalizedCounterName(L"Memory", nullptr, &capacity));
    EXPECT_EQ(0, GetLocalizedCounterName(L"Memory", out, nullptr));
}

TEST(LocalizedCounterName, TheSystemLanguageIsRead) {
    EXPECT_EQ(9u, SystemLanguageNumber());
}
