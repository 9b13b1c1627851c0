#pragma once
// Shared fixture of the durable store tests: a temporary directory with a
// store file, a store on it (an engine in this process or a cdsd --data),
// requests through a session, and a dump of everything a restart must keep.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/Engine.h"
#include "zu/cds/Records.h"
#include "zu/cds/Transport.h"
#include "zu/testing/Harness.h"
#include "zu/wire/Codec.h"

namespace durable_test {

using namespace std::chrono_literals;
namespace cds = zu::cds;

// A store on `file`: in this process (daemon false) or served by cdsd.
class Store {
 public:
  Store(bool daemon, std::string directory, std::string file, std::vector<std::string> args = {})
      : daemon_(daemon), directory_(std::move(directory)), file_(std::move(file)), args_(std::move(args)) {}
  ~Store() { close(); }

  bool open() {
    if (daemon_) {
      std::vector<std::string> args = {"--data", file_};
      args.insert(args.end(), args_.begin(), args_.end());
      process_ = std::make_unique<zu::testing::DaemonProcess>(directory_ + "/cds.sock", directory_ + "/cdsd.log", args);
      if (!process_->start()) return false;
      transport_ = cds::make_transport("unix:" + directory_ + "/cds.sock");
    } else {
      ::cds::store::EngineOptions options;
      options.data_file = file_;
      engine_ = std::make_shared<::cds::store::Engine>(options);
      transport_ = ::cds::store::make_embedded_transport(engine_);
    }
    session_ = transport_ ? transport_->open("durable-test", nullptr) : nullptr;
    return session_ != nullptr;
  }

  // A clean stop (SIGTERM, or the engine destroyed) or a kill -9 of the daemon.
  void close(int signal = SIGTERM) {
    if (session_) session_->close();
    session_.reset();
    transport_.reset();
    engine_.reset();
    if (process_) process_->stop(signal);
    process_.reset();
  }

  template <typename R>
  std::shared_ptr<R> ask(const R& request) {
    return std::dynamic_pointer_cast<R>(session_->round_trip(request, 20s));
  }

  // Sends `request` and expects status 1.
  template <typename R>
  std::shared_ptr<R> ok(const R& request) {
    auto answer = ask(request);
    EXPECT_TRUE(answer && answer->status == cds::status_ok)
        << request.class_name() << ": " << (answer ? answer->message : "no answer");
    return answer;
  }

  std::shared_ptr<cds::Session> session() const { return session_; }

 private:
  bool daemon_;
  std::string directory_, file_;
  std::vector<std::string> args_;
  std::unique_ptr<zu::testing::DaemonProcess> process_;
  std::shared_ptr<::cds::store::Engine> engine_;
  std::shared_ptr<cds::Transport> transport_;
  std::shared_ptr<cds::Session> session_;
};

class DurableTest : public ::testing::Test {
 protected:
  DurableTest() {
    directory_ = zu::testing::make_temporary_directory("cds-durable");
    file_ = directory_ + "/store.db";
  }
  ~DurableTest() override { zu::testing::remove_temporary_directory(directory_); }

  std::string Log() const { return Read(directory_ + "/cdsd.log"); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Runs cdsd with `arguments` to its end: its exit status.
  int RunDaemon(const std::string& arguments) const {
    std::string command = "timeout 20 ";
    for (const std::string& word : zu::testing::DaemonProcess::command()) command += word + " ";
    command += "--socket " + directory_ + "/other.sock " + arguments + " 2>>" + directory_ + "/cdsd.log";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string directory_;
  std::string file_;
};

inline cds::CCreateDevice NewDevice(const std::string& name) {
  cds::CCreateDevice create;
  zu::CDevice device;
  device.parent_id = 1;
  device.guid = "guid-" + name;
  device.attributes[5] = name;  // "name"
  create.devices.push_back(device);
  return create;
}

inline cds::CCreateChannel NewChannel(std::uint64_t device, const std::string& name) {
  cds::CCreateChannel create;
  cds::CCreateSingleChannel channel;
  channel.device_id = device;
  channel.name = name;
  create.requests.push_back(channel);
  return create;
}

inline cds::CUpdateChannelValue NewValue(std::uint64_t channel, zu::CValue value) {
  cds::CUpdateChannelValue write;
  write.values.push_back(cds::CUpdateSingleChannelValue{channel, std::move(value)});
  return write;
}

// Everything a restart keeps, as one text: the tree with its channels (values,
// settings, triggers), the documents at `paths`, the alarm log, the active
// alarms and the instance counter.
inline std::string Dump(Store& store, const std::vector<std::string>& paths) {
  std::string out, bytes;
  auto add = [&](const std::shared_ptr<cds::CRequestResponse>& answer) {
    ASSERT_TRUE(answer && answer->status == cds::status_ok);
    answer->sequence = 0;
    answer->origin.clear();
    ASSERT_TRUE(zu::wire::encode_record(*answer, 0, &bytes, nullptr));
    out += bytes;
  };
  cds::CGetDevice tree;
  tree.ids = {1};
  tree.depth = 2147483647;
  auto devices = store.ask(tree);
  add(devices);
  for (const zu::CDevice& device : devices->devices) {
    cds::CGetChannel channels;
    channels.device_id = device.id;
    add(store.ask(channels));
  }
  cds::CGetOOBData documents;
  documents.paths = paths;
  add(store.ask(documents));
  cds::CGetAlarms log;
  add(store.ask(log));
  log.active_only = true;
  add(store.ask(log));
  add(store.ask(cds::CGetAlarmUpdateGlobalCount()));
  return out;
}

}  // namespace durable_test
