#include "zu/cds/Transport.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

namespace zu {
namespace cds {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, TransportFactory> factories;
};

Registry& registry() {
  static Registry* r = new Registry();  // outlives static destructors of its users
  return *r;
}

std::string scheme_of(const std::string& endpoint) {
  auto colon = endpoint.find(':');
  return colon == std::string::npos ? endpoint : endpoint.substr(0, colon);
}

// The embedded store engine is a library of its own; it registers the
// "embedded" scheme when it is loaded.
const char* const kEmbeddedEngineLibrary = "libcds-store.so.0";

}  // namespace

void register_transport(const std::string& scheme, TransportFactory factory) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.factories[scheme] = std::move(factory);
}

std::shared_ptr<Transport> make_transport(const std::string& endpoint, std::string* error) {
  std::string scheme = scheme_of(endpoint);
  Registry& r = registry();
  TransportFactory factory;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(scheme);
    if (it != r.factories.end()) factory = it->second;
  }
  if (!factory && scheme == "embedded") {
    if (!dlopen(kEmbeddedEngineLibrary, RTLD_NOW | RTLD_GLOBAL)) {
      if (error) *error = std::string("cannot load the embedded store: ") + dlerror();
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(scheme);
    if (it != r.factories.end()) factory = it->second;
  }
  if (!factory) {
    if (error) *error = "no transport for endpoint \"" + endpoint + "\"";
    return nullptr;
  }
  std::shared_ptr<Transport> t = factory(endpoint);
  if (!t && error && error->empty()) *error = "cannot open endpoint \"" + endpoint + "\"";
  return t;
}

}  // namespace cds
}  // namespace zu
