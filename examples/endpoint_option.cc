#include "endpoint_option.h"

#include <cstdio>
#include <cstring>

#include "zu/cds/CClient.h"

namespace demo {

int take_endpoint_option(int argc, char** argv, std::string& endpoint) {
  endpoint = "embedded";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--endpoint") == 0 && i + 1 < argc) {
      endpoint = argv[++i];
      continue;
    }
    const int code = std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    std::fprintf(code ? stderr : stdout, "usage: %s [--endpoint embedded|unix:PATH]\n", argv[0]);
    return code;
  }
  zu::cds::CClient::get()->set_endpoint(endpoint);
  return -1;
}

}  // namespace demo
