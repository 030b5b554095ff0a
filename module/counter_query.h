// The performance-counter query that holds the page-fault counter.
#ifndef MODULE_COUNTER_QUERY_H
#define MODULE_COUNTER_QUERY_H

#include <windows.h>
#include <pdh.h>
#include "../common/handles.h"

// A live-data query, owned; empty on failure.
CounterQuery OpenCounterQuery();
// The counter of an object without instances added to `query`, or null.
PDH_HCOUNTER AddCounter(PDH_HQUERY query, const wchar_t* objectName, const wchar_t* counterName);
// Takes the counter out of its query before the query is closed; nothing for null.
void RemoveCounter(PDH_HCOUNTER counter);

#endif
