// The performance-counter query that holds the page-fault counter.
#ifndef MODULE_COUNTER_QUERY_H
#define MODULE_COUNTER_QUERY_H

#include <windows.h>
#include <pdh.h>
#include "../common/handles.h"

// A live-data query, owned; empty on failure, with the library's status in *status if asked.
CounterQuery OpenCounterQuery(PDH_STATUS* status = nullptr);
// The counter of an object without instances added to `query`, or null, with the status of the
// path's making or the adding in *status if asked.
PDH_HCOUNTER AddCounter(PDH_HQUERY query, const wchar_t* objectName, const wchar_t* counterName,
                        PDH_STATUS* status = nullptr);
// Takes the counter out of its query before the query is closed; nothing for null.
void RemoveCounter(PDH_HCOUNTER counter);

#endif
