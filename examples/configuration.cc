#include "configuration.h"

#include <string>

#include "zu/JSON2Protobuf.h"

namespace demo {

namespace {

const char* const kConfiguration = R"({
  "site": "Plant 7, hall B",
  "rack": "A",
  "sampling_s": 10,
  "alarm_contacts": ["operations@plant7.example"],
  "ui": {"units": "metric", "language": "en"}
})";

void show(cdsapi::OobAccessor& oob, Console& out) {
  std::string json = zu::Protobuf2JSON(oob.get(kConfigPath));
  out.say("  %s = %s\n", kConfigPath, json.empty() ? "(none)" : json.c_str());
}

}  // namespace

bool configuration_tour(cdsapi::OobAccessor& oob, Console& out) {
  bool subscribed = oob.subscribe(kConfigWatch, [&out](std::string path) {
    out.callback(Console::Path, "%s was written\n", path.c_str());
  });
  out.say("  subscribed to documents at and below \"%s\": %s\n", kConfigWatch, subscribed ? "yes" : "REFUSED");

  unsigned before = out.count(Console::Path);
  if (!oob.set(kConfigPath, std::string(kConfiguration))) {
    out.say("  writing the configuration was refused\n");
    return false;
  }
  out.say("  wrote the configuration as JSON to \"%s\"\n", kConfigPath);
  bool complete = out.expect(Console::Path, before + 1);
  show(oob, out);

  const std::string field = std::string(kConfigPath) + "/sampling_s";
  bool changed = oob.setField(field, "5");
  out.say("  set field \"%s\" to 5: %s\n", field.c_str(), changed ? "done" : "REFUSED");
  complete &= out.expect(Console::Path, before + 2);
  out.say("  read back by path: sampling_s = %s\n", oob.getField(field).c_str());
  show(oob, out);
  return subscribed && changed && complete;
}

}  // namespace demo
