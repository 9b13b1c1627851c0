#pragma once
// Test doubles for code that talks to the data store through the framework:
// a fresh embedded store per test behind a fault-injecting transport, and
// capture of the standard streams.
#include <iosfwd>
#include <memory>
#include <sstream>
#include <string>

#include "store/Engine.h"
#include "zu/testing/FaultInjectingTransport.h"

namespace zu {
namespace testing {

// Installs a fresh embedded store as the endpoint of CClient::get() for its
// lifetime, behind a FaultInjectingTransport; afterwards the client is
// disconnected and returned to its endpoint.
class EmbeddedStore {
 public:
  explicit EmbeddedStore(::cds::store::EngineOptions options = {});
  ~EmbeddedStore();
  EmbeddedStore(const EmbeddedStore&) = delete;
  EmbeddedStore& operator=(const EmbeddedStore&) = delete;

  FaultInjectingTransport& faults() { return *faulty_; }
  ::cds::store::Engine& engine() { return *engine_; }
  std::shared_ptr<::cds::store::Engine> shared_engine() const { return engine_; }

 private:
  std::shared_ptr<::cds::store::Engine> engine_;
  std::shared_ptr<FaultInjectingTransport> faulty_;
};

// Captures what is written to a standard stream (std::cout, std::cerr) for its
// lifetime.
class CapturedStream {
 public:
  explicit CapturedStream(std::ostream& stream);
  ~CapturedStream();
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;

  std::string text() const { return buffer_.str(); }
  void clear() { buffer_.str(std::string()); }

 private:
  std::ostream& stream_;
  std::stringstream buffer_;  // before saved_: the constructor hands its buffer to the stream
  std::streambuf* saved_;
};

}  // namespace testing
}  // namespace zu
