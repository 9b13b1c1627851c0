// The installation's configuration, kept in the data store as an
// out-of-band document and watched by path.
#pragma once
#include "cdsapi/OobAccessor.h"
#include "console.h"

namespace demo {

// Where the configuration document lives; a path subscription on the parent
// path sees it and every document below.
constexpr const char* kConfigWatch = "installation";
constexpr const char* kConfigPath = "installation/rack-a";

// Subscribes to the configuration paths, writes the configuration as JSON,
// changes one field of it by path and prints the path callbacks and the
// document as read back. False when a write was refused or a callback did
// not arrive. `out` must live until the process ends: an out-of-band
// subscription cannot be ended.
bool configuration_tour(cdsapi::OobAccessor& oob, Console& out);

}  // namespace demo
