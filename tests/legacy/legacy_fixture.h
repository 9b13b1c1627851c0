#pragma once
// Shared fixture of the legacy interface tests: the InBandAccessor fixture
// (fresh store behind the fault-injecting transport) plus a handler of this
// store, and what a call writes to standard output.
#include <functional>
#include <memory>
#include <string>

#include "../inband/inband_fixture.h"
#include "cdsapi/dataHandler.h"

namespace legacy_test {

using inband_test::kUnknown;

class LegacyTest : public inband_test::InBandTest {
 protected:
  // A handler logged in to this test's store (the process-wide one may belong
  // to an earlier test's store).
  std::shared_ptr<cdsapi::dataHandler> Handler() {
    if (!handler_) handler_ = std::make_shared<cdsapi::dataHandler>();
    return handler_;
  }

  // What `call` wrote to standard output and flushed.
  static std::string Printed(const std::function<void()>& call) {
    zu::testing::CapturedDescriptor out(1);
    call();
    return out.text();
  }

 private:
  std::shared_ptr<cdsapi::dataHandler> handler_;  // destroyed before the store
};

}  // namespace legacy_test
