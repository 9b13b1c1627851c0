#pragma once
// The process-wide data store client.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "zu/cds/Records.h"
#include "zu/cds/Transport.h"

namespace zu {
namespace cds {

// The one data store client of the process (`get()`). Which store it reaches
// is the framework's setting: `set_endpoint`, else the environment variable
// ZU_CDS_ENDPOINT, else "unix:/run/cds/cds.sock".
//
// Thread-safe: submit_wait may run on many threads at once; a request on a
// client that is not connected returns no response.
class CClient {
 public:
  static constexpr const char* kDefaultEndpoint = "unix:/run/cds/cds.sock";
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  static CClient* get();

  // Opens the session. `reconnect`: reopen it by itself on a later request
  // after the store was lost. Returns non-zero when connected. The two sizes
  // are the framework's buffer limits.
  int connect(bool reconnect, const std::string& name, std::uint32_t max_request, std::uint32_t max_response);
  void disconnect();
  bool is_connected() const;

  // Sends the record and blocks for its response; empty when there is none.
  std::shared_ptr<CRequestResponse> submit_wait(CRequestResponse& request);
  // Sends the record without waiting; non-zero when it was accepted.
  int submit(CRequestResponse& request, int priority, bool urgent);

  // Framework settings. A new endpoint or transport applies from the next connect.
  void set_endpoint(const std::string& endpoint);
  std::string endpoint() const;
  void set_timeout(std::chrono::milliseconds timeout);
  std::chrono::milliseconds timeout() const;
  // Uses this transport instead of the endpoint's (tests, embedding); nullptr
  // returns to the endpoint.
  void set_transport(std::shared_ptr<Transport> transport);
  // The transport new sessions open on (the set one, or the endpoint's).
  std::shared_ptr<Transport> transport(std::string* error = nullptr);

 private:
  CClient() = default;
  std::shared_ptr<Session> session_for_request();

  mutable std::mutex mutex_;
  std::string endpoint_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  std::shared_ptr<Transport> transport_;        // set explicitly
  std::shared_ptr<Transport> cached_transport_; // made from the endpoint
  std::string cached_endpoint_;
  std::shared_ptr<Session> session_;
  std::string name_;
  bool reconnect_ = false;
  bool wanted_ = false;  // connected by the application and not disconnected since
};

}  // namespace cds
}  // namespace zu
