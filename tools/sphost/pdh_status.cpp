// The statuses that opening a query and adding a counter can give.
#include "pdh_status.h"

#include <pdhmsg.h>

namespace {

struct NamedStatus {
    PDH_STATUS status;
    const char* name;
};

#define NAMED(status) {static_cast<PDH_STATUS>(status), #status}
constexpr NamedStatus NAMES[] = {
    NAMED(PDH_CSTATUS_NO_MACHINE),       NAMED(PDH_CSTATUS_NO_INSTANCE),
    NAMED(PDH_MORE_DATA),                NAMED(PDH_CSTATUS_ITEM_NOT_VALIDATED),
    NAMED(PDH_NO_DATA),                  NAMED(PDH_CSTATUS_NO_OBJECT),
    NAMED(PDH_CSTATUS_NO_COUNTER),       NAMED(PDH_CSTATUS_INVALID_DATA),
    NAMED(PDH_MEMORY_ALLOCATION_FAILURE), NAMED(PDH_INVALID_HANDLE),
    NAMED(PDH_INVALID_ARGUMENT),         NAMED(PDH_FUNCTION_NOT_FOUND),
    NAMED(PDH_CSTATUS_NO_COUNTERNAME),   NAMED(PDH_CSTATUS_BAD_COUNTERNAME),
    NAMED(PDH_INVALID_BUFFER),           NAMED(PDH_INSUFFICIENT_BUFFER),
    NAMED(PDH_CANNOT_CONNECT_MACHINE),   NAMED(PDH_INVALID_PATH),
    NAMED(PDH_INVALID_INSTANCE),         NAMED(PDH_INVALID_DATA),
    NAMED(PDH_CANNOT_READ_NAME_STRINGS), NAMED(PDH_STRING_NOT_FOUND),
    NAMED(PDH_UNABLE_MAP_NAME_FILES),    NAMED(PDH_NOT_IMPLEMENTED),
    NAMED(PDH_ACCESS_DENIED),            NAMED(PDH_INVALID_DATASOURCE),
    NAMED(PDH_NO_COUNTERS),              NAMED(PDH_COUNTER_ALREADY_IN_QUERY),
    NAMED(PDH_OS_LATER_VERSION),         NAMED(PDH_OS_EARLIER_VERSION),
    NAMED(PDH_FILE_NOT_FOUND),           NAMED(PDH_DATA_SOURCE_IS_LOG_FILE),
};
#undef NAMED

}  // namespace

const char* PdhStatusName(PDH_STATUS status) {
    for (const NamedStatus& named : NAMES)
        if (named.status == status) return named.name;
    return nullptr;
}
