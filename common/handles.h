// One owner per handle: closes on every path, and never clobbers the caller's last error.
#ifndef COMMON_HANDLES_H
#define COMMON_HANDLES_H

#include <windows.h>
#include <pdh.h>

template <class Traits>
class UniqueOwner {
public:
    using Type = typename Traits::Type;

    UniqueOwner() = default;
    explicit UniqueOwner(Type value) : value_(value) {}
    ~UniqueOwner() { reset(); }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    UniqueOwner(UniqueOwner&& other) noexcept : value_(other.release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const { return value_; }
    explicit operator bool() const { return Traits::valid(value_); }
    // For out-parameters of the API that creates the handle.
    Type* put() {
        reset();
        return &value_;
    }
    // Ownership passes to the caller, who must close what it gets.
    [[nodiscard]] Type release() {
        Type value = value_;
        value_ = Traits::empty();
        return value;
    }
    void reset(Type value = Traits::empty()) {
        if (Traits::valid(value_)) {
            DWORD lastError = GetLastError();
            Traits::close(value_);
            SetLastError(lastError);
        }
        value_ = value;
    }

private:
    Type value_ = Traits::empty();
};

// Kernel handles: creation calls report failure as null, CreateFile as INVALID_HANDLE_VALUE;
// neither is ever closed.
struct HandleTraits {
    using Type = HANDLE;
    static Type empty() { return nullptr; }
    static bool valid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Type h) { CloseHandle(h); }
};
// Owners whose empty value is null; Close names the function that releases one.
template <class T, class Close>
struct NullEmptyTraits {
    using Type = T;
    static Type empty() { return nullptr; }
    static bool valid(Type v) { return v != nullptr; }
    static void close(Type v) { Close::Release(v); }
};
struct RegKeyCloser { static void Release(HKEY k) { RegCloseKey(k); } };
struct ServiceCloser { static void Release(SC_HANDLE h) { CloseServiceHandle(h); } };
struct HeapBlockCloser { static void Release(void* p) { HeapFree(GetProcessHeap(), 0, p); } };
struct LocalBlockCloser { static void Release(HLOCAL p) { LocalFree(p); } };
struct ModuleCloser { static void Release(HMODULE m) { FreeLibrary(m); } };
struct CounterQueryCloser { static void Release(PDH_HQUERY q) { PdhCloseQuery(q); } };
struct EventSourceCloser { static void Release(HANDLE h) { DeregisterEventSource(h); } };

using UniqueHandle = UniqueOwner<HandleTraits>;
using UniqueFile = UniqueHandle;
using RegKey = UniqueOwner<NullEmptyTraits<HKEY, RegKeyCloser>>;
using ServiceHandle = UniqueOwner<NullEmptyTraits<SC_HANDLE, ServiceCloser>>;
using HeapBlock = UniqueOwner<NullEmptyTraits<void*, HeapBlockCloser>>;
// A block the system allocated with LocalAlloc for the caller (FormatMessage's buffer).
using LocalBlock = UniqueOwner<NullEmptyTraits<HLOCAL, LocalBlockCloser>>;
using LoadedModule = UniqueOwner<NullEmptyTraits<HMODULE, ModuleCloser>>;
// A counter query; the counters added to it go with it.
using CounterQuery = UniqueOwner<NullEmptyTraits<PDH_HQUERY, CounterQueryCloser>>;
// A registered event-log source.
using EventSource = UniqueOwner<NullEmptyTraits<HANDLE, EventSourceCloser>>;

// A zero-filled block from the process heap, owned; empty on failure.
inline HeapBlock AllocZeroed(SIZE_T bytes) {
    return HeapBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
}

#endif
