// The module's guarded records, reached as the module's own code reaches them: through the
// accessor that asks for the held module lock. `Locked()->sensorTable[0]` holds the lock until the
// end of the statement, so a test never waits for a thread of the module while it holds it;
// `Locked records;` holds it for a block whose reads and writes belong together. A test that holds
// a ModuleLockScope already asks moduleState.Records(lock) instead.
#ifndef TESTS_SUPPORT_LOCKED_RECORDS_H
#define TESTS_SUPPORT_LOCKED_RECORDS_H

#include "state.h"

class Locked {
public:
    Locked() = default;
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    GuardedRecords* operator->() { return &moduleState.Records(lock_); }

private:
    ModuleLockScope lock_;
};

#endif
