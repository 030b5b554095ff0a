// Buffers that end exactly where an inaccessible page begins, so that a read or write one byte
// past them faults; a write past a reply is named as such before the program ends.
#ifndef TESTS_SUPPORT_GUARDED_BUFFER_H
#define TESTS_SUPPORT_GUARDED_BUFFER_H

#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace support {

// The guard pages of live buffers, so a write past a reply is named as such.
struct GuardPages {
    static constexpr int MAX = 64;
    uintptr_t pages[MAX] = {};
    void Add(uintptr_t page) {
        for (uintptr_t& p : pages)
            if (!p) {
                p = page;
                return;
            }
    }
    void Remove(uintptr_t page) {
        for (uintptr_t& p : pages)
            if (p == page) p = 0;
    }
    bool Holds(uintptr_t address, uintptr_t pageSize) const {
        for (uintptr_t p : pages)
            if (p && address >= p && address < p + pageSize) return true;
        return false;
    }
};
inline GuardPages guardPages;

inline LONG CALLBACK ReportWritePastReply(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2 &&
        guardPages.Holds(record->ExceptionInformation[1], system.dwPageSize)) {
        fprintf(stderr, "FAILED: the module touched the byte at %p, past the end of the reply buffer\n",
                reinterpret_cast<void*>(record->ExceptionInformation[1]));
        fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// `size` bytes that end exactly where an inaccessible page begins, filled with `fill`.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, uint8_t fill = 0xCC) : size_(size) {
        static const PVOID handler = AddVectoredExceptionHandler(1, ReportWritePastReply);
        (void)handler;
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const size_t page = system.dwPageSize;
        const size_t dataPages = size ? (size + page - 1) / page : 1;
        base_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        guard_ = base_ + dataPages * page;
        DWORD old;
        VirtualProtect(guard_, page, PAGE_NOACCESS, &old);
        guardPages.Add(reinterpret_cast<uintptr_t>(guard_));
        data_ = guard_ - size;
        memset(data_, fill, size);
    }
    ~GuardedBuffer() {
        guardPages.Remove(reinterpret_cast<uintptr_t>(guard_));
        VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    template <class T>
    T* as() {
        return reinterpret_cast<T*>(data_);
    }
    uint32_t U32(size_t offset) const {
        uint32_t value;
        memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    uint16_t U16(size_t offset) const {
        uint16_t value;
        memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    // True when bytes [from, to) still hold `fill`.
    bool Holds(uint8_t fill, size_t from, size_t to) const {
        for (size_t i = from; i < to; ++i)
            if (data_[i] != fill) return false;
        return true;
    }

private:
    size_t size_;
    uint8_t* base_;
    uint8_t* guard_;
    uint8_t* data_;
};

}  // namespace support

#endif
