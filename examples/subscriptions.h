// Live callbacks: channel values, device changes and device alarms of the
// installation, printed as they arrive on the event thread.
#pragma once
#include <vector>

#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "console.h"
#include "installation.h"

namespace demo {

class Subscriptions {
 public:
  // `site` and `out` must outlive the subscriptions: the callbacks read them.
  Subscriptions(cdsapi::InBandAccessor& cds, cdsapi::DataAlarms& alarms, const Installation& site, Console& out)
      : cds_(cds), alarms_(alarms), site_(site), out_(out) {}
  // Releases what is still subscribed, so that no callback outlives `site`
  // and `out` when the demo stops early.
  ~Subscriptions();
  Subscriptions(const Subscriptions&) = delete;
  Subscriptions& operator=(const Subscriptions&) = delete;

  // Subscribes to the sensors' channel values, to changes of the power
  // distribution device and its sub-devices, and to their alarms. False when
  // one of them was refused (what was made stays made; unsubscribe ends it).
  bool subscribe();

  // Ends every subscription made. False when the data store refused one.
  bool unsubscribe();

 private:
  cdsapi::InBandAccessor& cds_;
  cdsapi::DataAlarms& alarms_;
  const Installation& site_;
  Console& out_;
  std::vector<unsigned long long> ids_;
};

}  // namespace demo
