#pragma once
// One named connection of an application to the data store.
#include <string>

namespace zu { namespace cds { class CClient; } }

namespace cdsapi {

// Holds a client name and a handle to the process-wide data store client.
// `connect` makes up to four attempts 0.5 s apart. Not thread-safe: one
// thread connects and disconnects it; requests through `client` are.
class dataClient {
 public:
  explicit dataClient(std::string name);
  ~dataClient();
  dataClient(const dataClient&) = delete;
  dataClient& operator=(const dataClient&) = delete;

  // True when connected. After four failed attempts: true without a message
  // when an earlier call had connected, else false after one line on stderr.
  bool connect(bool flag);
  // Disconnects the process-wide client; always true.
  bool disconnect();

  std::string name;
  zu::cds::CClient* client;  // not owned
  bool connected;
};

}  // namespace cdsapi
