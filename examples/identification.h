// The power distribution device's identification and its binder client
// list, kept in the data store through the common library's store
// interfaces.
#pragma once
#include "cdsapi/CdsAccessor.h"
#include "console.h"
#include "installation.h"

namespace demo {

// Loads the identification with a listener, stores a changed one, and keeps
// the sensors as the device's binder clients; prints what the data store
// holds afterwards. False when the client list did not read back as stored;
// throws what the stores throw.
bool identification_tour(cdsapi::CdsAccessor& facade, const Installation& site, Console& out);

}  // namespace demo
