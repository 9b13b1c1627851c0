// The "embedded" endpoint: sessions served by an engine in this process, on
// the caller's thread.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "store/Engine.h"

namespace cds {
namespace store {
namespace {

// A session of an engine. Requests run on the calling thread, with no hand-off.
class EmbeddedSession : public zu::cds::Session {
 public:
  EmbeddedSession(std::shared_ptr<Engine> engine, SessionId id) : engine_(std::move(engine)), id_(id) {}
  ~EmbeddedSession() override { close(); }

  std::shared_ptr<zu::cds::CRequestResponse> round_trip(const zu::cds::CRequestResponse& request,
                                                        std::chrono::milliseconds /*timeout*/) override {
    if (!open_.load()) return nullptr;
    return engine_->handle(id_, request);
  }

  bool send(const zu::cds::CRequestResponse& request) override {
    if (!open_.load()) return false;
    engine_->handle(id_, request);
    return true;
  }

  bool is_open() const override { return open_.load(); }

  void close() override {
    if (open_.exchange(false)) engine_->close_session(id_);
  }

 private:
  std::shared_ptr<Engine> engine_;
  SessionId id_;
  std::atomic<bool> open_{true};
};

class EmbeddedTransport : public zu::cds::Transport {
 public:
  EmbeddedTransport(std::shared_ptr<Engine> engine, std::string endpoint)
      : engine_(std::move(engine)), endpoint_(std::move(endpoint)) {}

  std::shared_ptr<zu::cds::Session> open(const std::string& client_name, zu::cds::NotificationSink sink) override {
    SessionId id = engine_->open_session(client_name, std::move(sink));
    return std::make_shared<EmbeddedSession>(engine_, id);
  }

  std::string endpoint() const override { return endpoint_; }

 private:
  std::shared_ptr<Engine> engine_;
  std::string endpoint_;
};

// The engine of the store kept in `file`, one per file in the process, made on
// first use and never destroyed (like process_engine()). Throws
// StoreFileError when the file cannot be used; an empty name is refused.
std::shared_ptr<Engine> file_engine(const std::string& file) {
  if (file.empty()) throw StoreFileError("the endpoint embedded:FILE needs a file name");
  static std::mutex mutex;
  static auto* engines = new std::map<std::string, std::shared_ptr<Engine>>();
  std::lock_guard<std::mutex> lock(mutex);
  auto it = engines->find(file);
  if (it != engines->end()) return it->second;
  EngineOptions options;
  options.data_file = file;
  auto engine = std::make_shared<Engine>(options);
  engines->emplace(file, engine);
  return engine;
}

// Registers the "embedded" scheme when the library is loaded (the framework
// loads it on the first use of that scheme).
struct RegisterEmbedded {
  RegisterEmbedded() {
    zu::cds::register_transport("embedded", [](const std::string& endpoint) -> std::shared_ptr<zu::cds::Transport> {
      if (endpoint == "embedded") return make_embedded_transport(process_engine(), endpoint);
      return make_embedded_transport(file_engine(endpoint.substr(std::string("embedded:").size())), endpoint);
    });
  }
};
const RegisterEmbedded register_embedded;

}  // namespace

std::shared_ptr<zu::cds::Transport> make_embedded_transport(std::shared_ptr<Engine> engine, std::string endpoint) {
  if (!engine) return nullptr;
  return std::make_shared<EmbeddedTransport>(std::move(engine), std::move(endpoint));
}

std::shared_ptr<Engine> process_engine() {
  // Never destroyed: sessions and the event thread may still use it while
  // static objects are torn down at exit.
  static auto* engine = new std::shared_ptr<Engine>(std::make_shared<Engine>());
  return *engine;
}

}  // namespace store
}  // namespace cds
