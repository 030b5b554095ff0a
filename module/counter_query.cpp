// The performance-counter query that holds the page-fault counter.
#include "counter_query.h"

#include <pdhmsg.h>

namespace {

// The status, also handed to whoever asked for it.
PDH_STATUS Noted(PDH_STATUS status, PDH_STATUS* asked) {
    if (asked) *asked = status;
    return status;
}

// On the local computer, with no instance.
PDH_STATUS MakeCounterPath(wchar_t (&path)[MAX_PATH], const wchar_t* objectName, const wchar_t* counterName) {
    PDH_COUNTER_PATH_ELEMENTS_W elements = {};
    elements.szObjectName = const_cast<wchar_t*>(objectName);
    elements.dwInstanceIndex = static_cast<DWORD>(-1);
    elements.szCounterName = const_cast<wchar_t*>(counterName);
    DWORD size = MAX_PATH;
    return PdhMakeCounterPathW(&elements, path, &size, 0);
}

}  // namespace

CounterQuery OpenCounterQuery(PDH_STATUS* status) {
    CounterQuery query;
    if (Noted(PdhOpenQueryA(nullptr, 0, query.put()), status) != ERROR_SUCCESS) query.reset();
    return query;
}

PDH_HCOUNTER AddCounter(PDH_HQUERY query, const wchar_t* objectName, const wchar_t* counterName,
                        PDH_STATUS* status) {
    if (!query) {
        Noted(PDH_INVALID_HANDLE, status);
        return nullptr;
    }
    wchar_t path[MAX_PATH] = {};
    if (Noted(MakeCounterPath(path, objectName, counterName), status) != ERROR_SUCCESS) return nullptr;
    PDH_HCOUNTER counter = nullptr;
    return Noted(PdhAddCounterW(query, path, 0, &counter), status) == ERROR_SUCCESS ? counter : nullptr;
}

void RemoveCounter(PDH_HCOUNTER counter) {
    if (counter) PdhRemoveCounter(counter);
}
