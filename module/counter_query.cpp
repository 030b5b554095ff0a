// The performance-counter query that holds the page-fault counter.
#include "counter_query.h"

CounterQuery OpenCounterQuery() {
    CounterQuery query;
    if (PdhOpenQueryA(nullptr, 0, query.put()) != ERROR_SUCCESS) query.reset();
    return query;
}

namespace {

// On the local computer, with no instance.
int MakeCounterPath(wchar_t (&path)[MAX_PATH], const wchar_t* objectName, const wchar_t* counterName) {
    PDH_COUNTER_PATH_ELEMENTS_W elements = {};
    elements.szObjectName = const_cast<wchar_t*>(objectName);
    elements.dwInstanceIndex = static_cast<DWORD>(-1);
    elements.szCounterName = const_cast<wchar_t*>(counterName);
    DWORD size = MAX_PATH;
    return PdhMakeCounterPathW(&elements, path, &size, 0) == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace

PDH_HCOUNTER AddCounter(PDH_HQUERY query, const wchar_t* objectName, const wchar_t* counterName) {
    if (!query) return nullptr;
    wchar_t path[MAX_PATH] = {};
    if (!MakeCounterPath(path, objectName, counterName)) return nullptr;
    PDH_HCOUNTER counter = nullptr;
    return PdhAddCounterW(query, path, 0, &counter) == ERROR_SUCCESS ? counter : nullptr;
}

void RemoveCounter(PDH_HCOUNTER counter) {
    if (counter) PdhRemoveCounter(counter);
}
