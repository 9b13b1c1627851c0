#include "cdsapi/dataClient.h"

#include <unistd.h>

#include <iostream>

#include "zu/cds/CClient.h"

namespace cdsapi {
namespace {
constexpr int kConnectAttempts = 4;
constexpr useconds_t kRetryPauseMicros = 500000;
constexpr std::uint32_t kFrameLimit = 4194304;
}  // namespace

dataClient::dataClient(std::string client_name)
    : name(std::move(client_name)), client(zu::cds::CClient::get()), connected(false) {}

dataClient::~dataClient() = default;

bool dataClient::connect(bool flag) {
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (client->connect(flag, std::string(name), kFrameLimit, kFrameLimit) != 0) {
      connected = true;
      return true;
    }
    usleep(kRetryPauseMicros);
  }
  if (connected) return true;
  std::cerr << "CDS client " << name << " : Could not connect to the CDS!" << std::endl;
  return false;
}

bool dataClient::disconnect() {
  client->disconnect();
  connected = false;
  return true;
}

}  // namespace cdsapi
