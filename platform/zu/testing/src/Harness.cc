#include "zu/testing/Harness.h"

#include <ostream>

#include "zu/cds/CClient.h"

namespace zu {
namespace testing {

EmbeddedStore::EmbeddedStore(::cds::store::EngineOptions options)
    : engine_(std::make_shared<::cds::store::Engine>(options)),
      faulty_(std::make_shared<FaultInjectingTransport>(::cds::store::make_embedded_transport(engine_))) {
  auto* client = cds::CClient::get();
  client->disconnect();
  client->set_transport(faulty_);
}

EmbeddedStore::~EmbeddedStore() {
  auto* client = cds::CClient::get();
  client->disconnect();
  client->set_transport(nullptr);
}

CapturedStream::CapturedStream(std::ostream& stream) : stream_(stream), buffer_(), saved_(stream.rdbuf(buffer_.rdbuf())) {}

CapturedStream::~CapturedStream() { stream_.rdbuf(saved_); }

}  // namespace testing
}  // namespace zu
