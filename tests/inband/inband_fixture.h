#pragma once
// Shared fixture of the InBandAccessor tests: a fresh embedded store behind the
// fault-injecting transport, a connected dataClient and an accessor over it.
#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

#include "cdsapi/InBandAccessor.h"
#include "zu/cds/CClient.h"
#include "zu/testing/Harness.h"

namespace inband_test {

constexpr unsigned long long kNone = ~0ULL;
constexpr unsigned long long kUnknown = 4242;  // an id the store never hands out

// Runs `call` and checks it throws exactly class E with exactly `text`.
template <typename E, typename F>
void ExpectError(F&& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "nothing thrown, expected \"" << text << "\"";
  } catch (const std::exception& e) {
    EXPECT_EQ(typeid(e), typeid(E)) << "thrown: " << typeid(e).name() << " \"" << e.what() << "\"";
    EXPECT_EQ(e.what(), text);
  }
}

class InBandTest : public ::testing::Test {
 protected:
  InBandTest() { faults().clear_requests(); }

  zu::testing::FaultInjectingTransport& faults() { return store.faults(); }

  // Runs `check` once under each way a response of `record_class` can fail:
  // no response, a record of another class, and a status other than 1.
  void UnderEachFailure(const std::string& record_class, const std::function<void()>& check) {
    const char* names[] = {"no response", "another class", "status 5"};
    for (int kind = 0; kind < 3; ++kind) {
      SCOPED_TRACE(record_class + ": " + names[kind]);
      faults().clear_faults();
      if (kind == 0) faults().drop_response(record_class);
      if (kind == 1) faults().respond_with_other_class(record_class);
      if (kind == 2) faults().fail_with_status(record_class, zu::cds::status_invalid);
      check();
    }
    faults().clear_faults();
  }

  // A device made directly under the manager device.
  unsigned long long NewDevice(unsigned long long parent = 1) { return inband.createDevice(0, parent, false); }

  zu::testing::EmbeddedStore store;
  cdsapi::dataClient data{"inband-test"};
  cdsapi::InBandAccessor inband{data, false};
};

}  // namespace inband_test
