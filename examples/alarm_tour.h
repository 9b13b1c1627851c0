// Alarms on the installation: trigger configuration, a sweep of values that
// raises and ends alarms, and what DataAlarms reports afterwards.
#pragma once
#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "console.h"
#include "installation.h"
#include "zu/CWallTime.h"

namespace demo {

// Temperature and humidity triggers (critically low, low, high, critically
// high) on the four climate channels, an open-door trigger on the contact.
void configure_alarms(cdsapi::InBandAccessor& cds, const Installation& site, Console& out);

// Writes a sequence of values (and two device changes) and, after each step,
// waits until its callbacks arrived. False, at the first step whose callbacks
// did not all arrive within 2 s.
bool sweep(cdsapi::InBandAccessor& cds, cdsapi::DataAlarms& alarms, const Installation& site, Console& out);

// Active alarms, the log, the most critical alarm per sensor and the counters.
// Counts updates from `since` on.
void report(cdsapi::DataAlarms& alarms, const Installation& site, zu::CWallTime since, Console& out);

}  // namespace demo
