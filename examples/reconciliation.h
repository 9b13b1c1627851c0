// Bringing the data store in line with the sensors the application sees.
#pragma once
#include "cdsapi/CdsAccessor.h"
#include "console.h"
#include "installation.h"

namespace demo {

// The application now sees the inlet and outlet sensors and a new leak
// sensor, but no longer the door contact: prunes the sub-devices of the power
// distribution device to the UUIDs it sees and emplaces the new sensor at its
// slot id. Prints the tree before and after.
void reconcile(cdsapi::CdsAccessor& facade, Installation& site, Console& out);

}  // namespace demo
