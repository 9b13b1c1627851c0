#include "zu/cds/Transport.h"

#include <dlfcn.h>

#include <exception>
#include <map>
#include <string>
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

// By name first, which follows this library's search path. The sanitizers'
// dlopen interceptor loses that path, so then look beside this library (an
// installation) and in the build tree's store directory.
void* load_embedded_engine(std::string* error) {
  if (void* handle = dlopen(kEmbeddedEngineLibrary, RTLD_NOW | RTLD_GLOBAL)) return handle;
  const std::string first_error = dlerror();
  static const char anchor = 0;
  Dl_info self{};
  if (dladdr(&anchor, &self) != 0 && self.dli_fname != nullptr) {
    std::string dir(self.dli_fname);
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string("./") : dir.substr(0, slash + 1);
    for (const char* below : {"", "../../store/"}) {
      const std::string path = dir + below + kEmbeddedEngineLibrary;
      if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) return handle;
    }
  }
  if (error) *error = "cannot load the embedded store: " + first_error;
  return nullptr;
}

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
    if (!load_embedded_engine(error)) return nullptr;
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(scheme);
    if (it != r.factories.end()) factory = it->second;
  }
  if (!factory) {
    if (error) *error = "no transport for endpoint \"" + endpoint + "\"";
    return nullptr;
  }
  // A factory throws when the endpoint names something it cannot use; its
  // message says why.
  std::shared_ptr<Transport> t;
  try {
    t = factory(endpoint);
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return nullptr;
  }
  if (!t && error && error->empty()) *error = "cannot open endpoint \"" + endpoint + "\"";
  return t;
}

}  // namespace cds
}  // namespace zu
