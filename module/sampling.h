// The sampling tick, classification and notification, threshold changes, and the page-fault sampler.
#ifndef MODULE_SAMPLING_H
#define MODULE_SAMPLING_H

#include <windows.h>
#include <pdh.h>
#include "kelvrim.h"
#include "state.h"

// One tick: memory figures, three readings, classification and events, under the module lock.
void SampleTick();

// Stores a new reading and classifies it; true when one event is to be queued for the sensor.
bool EvaluateSample(const ModuleLockScope& lock, uint32_t value, uint32_t time, SPSensorRecord& sensor);

// Replaces the selected limits (saving FH and WH when any changed) and classifies the stored
// reading again; true when one event is to be queued for the sensor.
bool ApplyThresholds(const ModuleLockScope& lock, const SPThreshold& request, uint32_t time,
                     SPSensorRecord& sensor);

// Thread entry of a run's sampler thread (the ModuleRun is its argument): publishes one
// page-fault sum per cycle until the run's stop event is set.
DWORD WINAPI PageFaultSampler(void* run);

// One cycle: the per-second rates of intervalMs / 1000 one-second windows, summed. The waits
// between collections end early, with failure, when `stop` is set.
bool CollectPageFaults(uint32_t& sum, PDH_HQUERY query, PDH_HCOUNTER counter, uint32_t intervalMs,
                       HANDLE stop = nullptr);

#endif
