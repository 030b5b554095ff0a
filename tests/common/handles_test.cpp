// The handle owners: what counts as empty, that what they own is released once, and no sooner.
#include <gtest/gtest.h>

#include <pdhmsg.h>

#include "../../common/handles.h"

namespace {

bool IsOpen(HANDLE handle) {
    DWORD flags;
    return GetHandleInformation(handle, &flags) != 0;
}

}  // namespace

TEST(Handles, AFailedCreateFileIsEmptyLikeAFailedCreateEvent) {
    UniqueHandle file(CreateFileA("Z:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_EQ(INVALID_HANDLE_VALUE, file.get());
    EXPECT_FALSE(file);
    UniqueHandle none;
    EXPECT_FALSE(none);
}

TEST(Handles, ClosedOnceAtTheEndOfTheScopeAndTheLastErrorKept) {
    HANDLE raw;
    {
        UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        raw = event.get();
        ASSERT_TRUE(event);
        const HANDLE next = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetLastError(ERROR_ACCESS_DENIED);
        event.reset(next);
        // Both read before anything else may open a handle and take the freed value.
        const DWORD error = GetLastError();
        const bool stillOpen = IsOpen(raw);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
        EXPECT_FALSE(stillOpen);
        raw = event.get();
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
}

TEST(Handles, ReleaseHandsOwnershipOver) {
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const HANDLE raw = event.release();
    EXPECT_FALSE(event);
    event.reset();
    EXPECT_TRUE(IsOpen(raw));
    CloseHandle(raw);
}

TEST(Handles, ModulesAndCounterQueriesAndSystemBlocksAreReleased) {
    {
        LoadedModule module(LoadLibraryA("msimg32.dll"));
        ASSERT_TRUE(module);
        EXPECT_NE(nullptr, GetModuleHandleA("msimg32.dll"));
    }
    EXPECT_EQ(nullptr, GetModuleHandleA("msimg32.dll"));

    PDH_HQUERY raw;
    {
        CounterQuery query;
        ASSERT_EQ(static_cast<PDH_STATUS>(ERROR_SUCCESS), PdhOpenQueryA(nullptr, 0, query.put()));
        raw = query.get();
        EXPECT_TRUE(query);
    }
    EXPECT_EQ(static_cast<PDH_STATUS>(PDH_INVALID_HANDLE), PdhCollectQueryData(raw));

    LocalBlock text;
    ASSERT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<char*>(text.put()), 0, nullptr));
    EXPECT_TRUE(text);
    EXPECT_NE(0u, LocalSize(text.get()));
}
