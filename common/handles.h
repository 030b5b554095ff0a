// One owner per handle: closes on every path, and never clobbers the caller's last error.
#ifndef COMMON_HANDLES_H
#define COMMON_HANDLES_H

#include <windows.h>

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
    explicit operator bool() const { return value_ != Traits::invalid(); }
    // For out-parameters of the API that creates the handle.
    Type* put() {
        reset();
        return &value_;
    }
    Type release() {
        Type value = value_;
        value_ = Traits::invalid();
        return value;
    }
    void reset(Type value = Traits::invalid()) {
        if (value_ != Traits::invalid()) {
            DWORD lastError = GetLastError();
            Traits::close(value_);
            SetLastError(lastError);
        }
        value_ = value;
    }

private:
    Type value_ = Traits::invalid();
};

struct HandleTraits {
    using Type = HANDLE;
    static Type invalid() { return nullptr; }
    static void close(Type h) { CloseHandle(h); }
};
struct FileHandleTraits {
    using Type = HANDLE;
    static Type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(Type h) { CloseHandle(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type invalid() { return nullptr; }
    static void close(Type k) { RegCloseKey(k); }
};
struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type invalid() { return nullptr; }
    static void close(Type h) { CloseServiceHandle(h); }
};
struct HeapBlockTraits {
    using Type = void*;
    static Type invalid() { return nullptr; }
    static void close(Type p) { HeapFree(GetProcessHeap(), 0, p); }
};

using UniqueHandle = UniqueOwner<HandleTraits>;
using UniqueFile = UniqueOwner<FileHandleTraits>;
using RegKey = UniqueOwner<RegKeyTraits>;
using ServiceHandle = UniqueOwner<ServiceHandleTraits>;
using HeapBlock = UniqueOwner<HeapBlockTraits>;

// A zero-filled block from the process heap, owned; empty on failure.
inline HeapBlock AllocZeroed(SIZE_T bytes) {
    return HeapBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
}

#endif
