// Field paths of out-of-band data, against a store that holds device 12.
// The first byte is the number of parts given (0 to 3), the rest the parts,
// separated by newlines. A path that parses names what its text holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cdsapi/InBandAccessor.h"
#include "cdsapi/OobAccessor.h"
#include "zu/testing/Harness.h"

namespace {

struct Store {
  Store() { inband.createDevice(12, 1, true); }
  zu::testing::EmbeddedStore store;
  cdsapi::dataClient data{"fuzz-oob"};
  cdsapi::InBandAccessor inband{data, false};
  cdsapi::OobAccessor oob{data};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Store* store = new Store;  // lives as long as the process
  if (size == 0) return 0;
  std::vector<std::string> parts;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (std::size_t at = 0; at <= rest.size();) {
    const std::size_t end = std::min(rest.find('\n', at), rest.size());
    parts.push_back(rest.substr(at, end - at));
    at = end + 1;
  }
  const zu::cds::CSingleField f = store->oob.parse_path(parts, data[0] % 4);
  if (f.field_kind == 0) return 0;
  const std::string& path = parts[0];
  const std::string last = path.substr(path.rfind('/') + 1);
  const bool named = f.field_kind == 3 ? f.scope + "." + f.name == last : f.name == last;
  if (!named || (f.field_kind == 4 && f.scope + "/" + f.name != path)) std::abort();
  return 0;
}
