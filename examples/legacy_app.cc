// An application written against the older interface, dataChannel and
// dataDevice, on the same data store as the demo: a boiler numbered 300 with
// a temperature, a burner start counter and a state text, read and written
// through the legacy calls, and a value subscription.
//
//   cds-legacy-demo                      uses a data store inside this process
//   cds-legacy-demo --endpoint unix:PATH uses the cdsd daemon listening on PATH
//                                        (beside a running demo, for instance)
//
// Exit status: 0 when everything worked, 1 when a call failed, 2 on bad usage.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cdsapi/dataChannel.h"
#include "cdsapi/dataClient.h"
#include "cdsapi/dataDevice.h"
#include "cdsapi/dataHandler.h"
#include "endpoint_option.h"

namespace {

constexpr unsigned short kBoiler = 300;
constexpr unsigned long long kTemperature = 3001;
constexpr unsigned long long kStarts = 3002;
constexpr unsigned long long kState = 3003;

bool failed = false;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Reports a call that returned false; the tour goes on.
void check(bool done, const char* what) {
  if (done) return;
  failed = true;
  std::fprintf(stderr, "legacy demo: %s failed\n", what);
}

// A value callback that the main thread can wait for.
struct LastValue {
  std::mutex mutex;
  std::condition_variable arrived;
  bool seen = false;
  float value = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint;
  if (int code = demo::take_endpoint_option(argc, argv, endpoint); code >= 0) return code;

  // The legacy classes never connect: the application connects the
  // process-wide client once, through a dataClient of its own.
  cdsapi::dataClient connection("cds-legacy-demo");
  if (!connection.connect(true)) return 1;
  say("== connected to the data store at " + endpoint);

  say("\n== the boiler, device " + std::to_string(kBoiler));
  cdsapi::dataDevice boiler("cds-legacy-demo");
  cdsapi::dataChannel channels("cds-legacy-demo", kTemperature);
  // What an earlier run against the same daemon left behind.
  for (unsigned long long id : {kTemperature, kStarts, kState}) channels.remove(id);
  boiler.remove(kBoiler);
  check(boiler.create(kBoiler, "boiler", "B-200", "B200-EU", "SN-0042", "2.1"), "create device");
  check(boiler.set_attribute(kBoiler, "location", "cellar"), "set_attribute");
  check(boiler.set_guid(kBoiler, "6f1c2a90-5d1e-4c8b-9a37-0b6de2f1c300"), "set_guid");

  cdsapi::dataDevice reader("cds-legacy-demo");
  check(reader.get(kBoiler), "get device");
  std::string guid;
  check(reader.get_guid(kBoiler, guid), "get_guid");
  say("device " + std::to_string(reader.deviceNumber) + ": " + reader.name + ", model " + reader.model + ", part " +
      reader.partNumber + ", serial " + reader.serialNumber + ", software " + reader.swVersion + ", in the " +
      reader.location + ", guid " + guid);

  say("\n== channels");
  check(channels.create(kBoiler, kTemperature, "temperature", true), "create temperature");
  check(channels.create(kBoiler, kStarts, "burner starts", false), "create burner starts");
  check(channels.create(kBoiler, kState, "state", false), "create state");
  // The first value written fixes a channel's data type.
  channels.update(kTemperature, zu::CValue(21.5f));
  channels.update(kStarts, zu::CValue(0));
  channels.update(kState, zu::CValue("idle"));
  std::vector<unsigned short> ids;
  check(boiler.getChannelIds(kBoiler, ids), "getChannelIds");
  std::string listed;
  for (unsigned short id : ids) listed += " " + std::to_string(id);
  say("channels of device " + std::to_string(kBoiler) + ":" + listed);

  say("\n== values through the legacy scalar");
  auto last = std::make_shared<LastValue>();
  std::shared_ptr<cdsapi::dataHandler> handler = cdsapi::SubscriberSingleton::instance().handler;
  check(channels.subscribe(
            kTemperature,
            [last](unsigned long long, zu::CValue value) {
              std::lock_guard<std::mutex> lock(last->mutex);
              last->seen = true;
              last->value = value.as_float();
              last->arrived.notify_all();
            },
            handler),
        "subscribe");

  cdsapi::value_cds scalar;
  scalar.f = 23.0f;
  check(channels.update(kBoiler, kTemperature, scalar, ""), "update temperature");
  scalar.i = 17;
  check(channels.update(kBoiler, kStarts, scalar, ""), "update burner starts");
  check(channels.update(kBoiler, kState, scalar, "running"), "update state");

  for (unsigned long long id : {kTemperature, kStarts, kState}) {
    check(channels.get(id, handler), "get channel");
    std::string value;
    switch (channels.typeCode) {
      case 3: value = std::to_string(channels.scalar.i); break;
      case 4: value = std::to_string(channels.scalar.f); break;
      case 5: value = channels.stringValue; break;
      default: value = "?"; break;
    }
    say("channel " + std::to_string(channels.channelId) + ": type code " + std::to_string(channels.typeCode) +
        ", value " + value);
  }
  {
    std::unique_lock<std::mutex> lock(last->mutex);
    bool seen = last->arrived.wait_for(lock, std::chrono::seconds(10), [&] { return last->seen; });
    check(seen, "value callback");
    if (seen) say("the subscription saw temperature " + std::to_string(last->value));
  }
  check(!channels.get(9999, handler), "get of an unknown channel");

  say(failed ? "\n== legacy demo: something failed" : "\n== legacy demo: done");
  return failed ? 1 : 0;
}
