// The store kept in a file, run in this process or by cdsd --data: a restart,
// clean or by kill -9, keeps what the store answered as done; files it cannot
// trust are refused untouched; a full disk fails writes without changing
// anything, and never puts an older value over a newer one; a live store can
// be backed up.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "../daemon/daemon_fixture.h"
#include "store/Engine.h"
#include "zu/testing/FailingDisk.h"

namespace durable_test {
namespace {

using namespace std::chrono_literals;
using zu::testing::FailingDisk;
namespace cds = zu::cds;

// A store on `file`: in this process (daemon false) or served by cdsd. In
// this process requests run on the caller's thread, so that a test can act
// while one of its commits waits on a FailingDisk.
class Store {
 public:
  Store(bool daemon, std::string directory, std::string file, std::vector<std::string> args = {})
      : daemon_(daemon), directory_(std::move(directory)), file_(std::move(file)), args_(std::move(args)) {}
  ~Store() { close(); }

  // In this process: how often held values are committed.
  std::uint32_t value_flush_ms = 1000;

  bool open() {
    std::shared_ptr<cds::Transport> transport;
    if (daemon_) {
      std::vector<std::string> args = {"--data", file_};
      args.insert(args.end(), args_.begin(), args_.end());
      process_ = std::make_unique<zu::testing::DaemonProcess>(directory_ + "/cds.sock", directory_ + "/cdsd.log", args);
      if (!process_->start()) return false;
      transport = cds::make_transport("unix:" + directory_ + "/cds.sock");
    } else {
      ::cds::store::EngineOptions options;
      options.data_file = file_;
      options.value_flush_ms = value_flush_ms;
      auto engine = std::make_shared<::cds::store::Engine>(options);
      engine->set_change_listener([this](::cds::store::SessionId, const ::cds::store::ChangeSet&) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++changes_;
        changed_.notify_all();
      });
      transport = ::cds::store::make_embedded_transport(engine);
    }
    session_ = transport ? transport->open("durable-test", nullptr) : nullptr;
    return session_ != nullptr;
  }

  // A clean stop (SIGTERM, or the engine destroyed, with what it holds
  // flushed, with its last session) or a kill -9 of the daemon.
  void close(int signal = SIGTERM) {
    if (session_) session_->close();
    session_.reset();
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

  // In this process: requests that changed the store so far (answered or not yet).
  void wait_changes(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return changes_ >= count; });
  }
  int changes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }

  double value(std::uint64_t channel) {
    cds::CGetChannelValue read;
    read.ids = {channel};
    auto answer = ok(read);
    return answer && answer->values.size() == 1 ? answer->values[0].value.as_double() : -1;
  }

 private:
  bool daemon_;
  std::string directory_, file_;
  std::vector<std::string> args_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int changes_ = 0;
  std::unique_ptr<zu::testing::DaemonProcess> process_;
  // Last: the engine it keeps may call the listener until it is gone.
  std::shared_ptr<cds::Session> session_;
};

// The daemon tests' directory, log and RunDaemon; each test starts its stores itself.
class DurableTest : public cdsd_test::DaemonTest {
 protected:
  void SetUp() override {}

  // Runs cdsd on a socket of its own with `arguments` to its end: its exit status.
  int RunOther(const std::string& arguments) const {
    return RunDaemon("--socket " + directory_ + "/other.sock " + arguments);
  }

  const std::string file_ = directory_ + "/store.db";
};

cds::CCreateDevice NewDevice(const std::string& name) {
  cds::CCreateDevice create;
  zu::CDevice device;
  device.parent_id = 1;
  device.guid = "guid-" + name;
  device.attributes[5] = name;  // "name"
  create.devices.push_back(device);
  return create;
}

cds::CCreateChannel NewChannel(std::uint64_t device, const std::string& name) {
  cds::CCreateChannel create;
  create.requests.push_back({device, name});
  return create;
}

cds::CUpdateChannelValue NewValue(std::uint64_t channel, zu::CValue value) {
  cds::CUpdateChannelValue write;
  write.values.push_back(cds::CUpdateSingleChannelValue{channel, std::move(value)});
  return write;
}

// A critical alarm above 10 on `channel`.
cds::CSetAlarmConfig HighAlarm(std::uint64_t channel) {
  cds::CSetAlarmConfig alarm;
  zu::CAlarmTrigger high;
  high.level = 3;
  high.threshold = zu::CValue(10.0);
  high.code = "1201";
  alarm.configs.push_back(cds::CSingleAlarmConfig{channel, {high}});
  return alarm;
}

const std::vector<std::string> kPaths = {"system/network", "absent"};

// Everything a restart keeps, as one text: the tree with its channels (values,
// settings, triggers), the documents at kPaths, the alarm log, the active
// alarms and the instance counter.
std::string Dump(Store& store) {
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
  documents.paths = kPaths;
  add(store.ask(documents));
  cds::CGetAlarms log;
  add(store.ask(log));
  log.active_only = true;
  add(store.ask(log));
  add(store.ask(cds::CGetAlarmUpdateGlobalCount()));
  return out;
}

struct Populated {
  std::uint64_t device, load;  // the device kept, its alarmed channel
};

// Fills a store with one of everything a restart keeps, and a removed device.
Populated Populate(Store& store) {
  cds::CDeleteDevice remove;
  remove.ids = {store.ok(NewDevice("gone"))->devices.at(0).id};
  store.ok(remove);
  const std::uint64_t device = store.ok(NewDevice("pdu"))->devices.at(0).id;
  const std::uint64_t load = store.ok(NewChannel(device, "load"))->channels.at(0).id();
  const std::uint64_t text = store.ok(NewChannel(device, "label"))->channels.at(0).id();

  cds::CUpdateChannelSettings settings;
  zu::CChannelSettings s;
  s.id = load;
  s.description = "Load";
  s.units = "A";
  s.multistate[zu::CValue(0.0)] = "off";
  settings.settings.push_back(s);
  store.ok(settings);
  store.ok(HighAlarm(load));
  store.ok(NewValue(load, zu::CValue(20.0)));  // raises
  store.ok(NewValue(load, zu::CValue(5.0)));   // ends
  store.ok(NewValue(load, zu::CValue(30.0)));  // raises again: stays active
  store.ok(NewValue(text, zu::CValue(std::string("rack B4"))));

  cds::CSetChannelState disable;
  cds::CSetSingleChannelState state;
  state.id = text;
  state.op = cds::state_op::raise;
  state.state.set(zu::realtime_state::alarm_disabled);
  disable.states.push_back(state);
  store.ok(disable);

  cds::CSetFieldValue fields;
  cds::CSingleField extra{1, "rack", zu::CValue(std::string("B4")), 0, device, ""};
  cds::CSingleField scoped{3, "mode", zu::CValue(7), 0, device, "snmp"};
  cds::CSingleField in_document{4, "hostname", zu::CValue(std::string("cds-1")), 0, 0, "system/network"};
  fields.fields = {extra, scoped, in_document};
  store.ok(fields);
  return {device, load};
}

// Restart keeps everything, on both ways of running a store; ids and alarm
// instances continue after it and never repeat. A copy taken with sqlite3's
// online backup while the store runs is a store with the same content.
class RestartTest : public DurableTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartTest, KeepsEverythingAndCountersContinueAndABackupOfTheLiveStoreIsAStore) {
  Store store(GetParam(), directory_, file_);
  ASSERT_TRUE(store.open()) << Log();
  const Populated made = Populate(store);
  const std::string before = Dump(store);
  store.close();

  ASSERT_TRUE(store.open()) << Log();
  EXPECT_EQ(Dump(store), before);
  const std::string copy = directory_ + "/copy.db";
  ASSERT_EQ(std::system(("sqlite3 " + file_ + " '.backup " + copy + "'").c_str()), 0);
  // It tells how much it holds.
  const auto info = store.ok(cds::CGetStoreInfo());
  ASSERT_TRUE(info);
  EXPECT_NE(info->text.find("devices: 2\nchannels: 2\ndocuments: 1\nalarm log entries: 3\n"), std::string::npos)
      << info->text;
  cds::CGetFieldValue fields;
  fields.fields = {cds::CSingleField{3, "mode", zu::CValue(), 0, made.device, "snmp"},
                   cds::CSingleField{1, "rack", zu::CValue(), 0, made.device, ""}};
  const auto read = store.ok(fields);  // the answer must outlive the loop over its fields
  for (const cds::CSingleField& field : read->fields)
    EXPECT_EQ(field.value, field.name == "mode" ? zu::CValue(7) : zu::CValue(std::string("B4"))) << field.name;

  const std::uint64_t next = store.ok(NewDevice("after"))->devices.at(0).id;
  EXPECT_GT(next, made.device) << "a device id was assigned twice";
  store.ok(NewValue(made.load, zu::CValue(1.0)));  // ends the alarm raised before the restart
  cds::CGetAlarms newest;
  newest.max_count = 1;
  auto update = store.ok(newest);
  ASSERT_EQ(update->alarms.size(), 1u);
  EXPECT_TRUE(update->alarms[0].back_to_normal);
  EXPECT_EQ(update->alarms[0].instance, 4u) << "instances restarted";
  store.close();
  ASSERT_TRUE(store.open()) << Log();
  newest.active_only = true;
  EXPECT_TRUE(store.ok(newest)->alarms.empty()) << "an alarm ended before the restart stays ended";
  store.close();

  // The endpoint embedded:FILE reaches the same store.
  std::string error;
  auto transport = cds::make_transport("embedded:" + file_, &error);
  ASSERT_TRUE(transport) << error;
  cds::CGetDevice device;
  device.ids = {next};
  auto answer = std::dynamic_pointer_cast<cds::CGetDevice>(transport->open("durable-test", nullptr)->round_trip(device, 20s));
  ASSERT_TRUE(answer && answer->devices.size() == 1);
  EXPECT_EQ(answer->devices[0].guid, "guid-after");

  Store restored(false, directory_, copy);
  ASSERT_TRUE(restored.open());
  EXPECT_EQ(Dump(restored), before);
}

INSTANTIATE_TEST_SUITE_P(Stores, RestartTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "cdsd" : "embedded"; });

// kill -9 while 16 clients write: every configuration change answered with
// status 1 is there after the restart, and every value answered longer ago
// than the flush window.
TEST_F(DurableTest, KillNineKeepsAnsweredChanges) {
  constexpr int kWriters = 16;
  constexpr auto kWindow = 200ms;
  Store store(true, directory_, file_, {"--value-flush-ms", "200"});
  ASSERT_TRUE(store.open()) << Log();
  const std::uint64_t device = store.ok(NewDevice("busy"))->devices.at(0).id;
  std::vector<std::uint64_t> value_channels;
  for (int i = 0; i < kWriters; ++i)
    value_channels.push_back(store.ok(NewChannel(device, "value " + std::to_string(i)))->channels.at(0).id());

  using Clock = std::chrono::steady_clock;
  struct Written {
    std::vector<std::uint64_t> channels;                      // created, answered 1
    std::vector<std::pair<Clock::time_point, int>> values;    // answered 1 at, value
  };
  std::vector<Written> written(kWriters);
  std::atomic<bool> stop{false};
  auto transport = cds::make_transport("unix:" + socket_);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      auto session = transport->open("writer", nullptr);
      for (int k = 0; session && !stop; ++k) {
        auto created = std::dynamic_pointer_cast<cds::CCreateChannel>(
            session->round_trip(NewChannel(device, std::to_string(w) + "/" + std::to_string(k)), 5s));
        if (!created) break;
        if (created->status == cds::status_ok) written[w].channels.push_back(created->channels.at(0).id());
        auto value = session->round_trip(NewValue(value_channels[w], zu::CValue(k)), 5s);
        if (!value) break;
        if (value->status == cds::status_ok) written[w].values.emplace_back(Clock::now(), k);
      }
    });
  std::this_thread::sleep_for(2500ms);
  const Clock::time_point killed = Clock::now();
  store.close(SIGKILL);
  stop = true;
  for (std::thread& t : writers) t.join();

  ASSERT_TRUE(store.open()) << Log();
  std::size_t created = 0;
  for (int w = 0; w < kWriters; ++w) {
    cds::CGetChannel channels;
    channels.ids = written[w].channels;
    EXPECT_EQ(store.ok(channels)->results.size(), written[w].channels.size()) << "writer " << w;
    created += written[w].channels.size();
    // The last value answered before the window must be there, or a later one.
    int floor = -1;
    for (const auto& [at, value] : written[w].values)
      if (at < killed - kWindow - 700ms) floor = value;  // slack for a machine busy with other work
    cds::CGetChannelValue read;
    read.ids = {value_channels[w]};
    auto value = store.ok(read);
    ASSERT_EQ(value->values.size(), 1u);
    if (floor >= 0) {
      EXPECT_GE(value->values[0].value.as_int32(), floor) << "writer " << w;
    }
  }
  EXPECT_GT(created, static_cast<std::size_t>(kWriters)) << "the writers hardly wrote: the test proves nothing";
}

// cdsd refuses, with status 1 and a message naming the file and the reason,
// every file it cannot trust, and leaves it as it was.
TEST_F(DurableTest, RefusesFilesItCannotTrust) {
  const struct {
    bool store;               // a store is made first
    const char* statement;    // then given to sqlite3; none: the file is text
    bool overwrite_page;      // then the whole second page, a table's b-tree page, is overwritten
    const char* reason;
  } cases[] = {
      {true, "PRAGMA user_version=2", false, "newer version of the store (schema 2"},
      {true, "PRAGMA wal_checkpoint(TRUNCATE)", true, "it is corrupt"},
      {false, nullptr, false, "not a data store (not an SQLite database)"},
      {false, "CREATE TABLE t(x)", false, "not a data store (an SQLite database of something else)"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::string file = directory_ + "/refused" + std::to_string(n++) + ".db";
    if (c.store) {
      Store made(false, directory_, file);
      ASSERT_TRUE(made.open());
      made.ok(NewDevice("x"));
    }
    if (c.statement) ASSERT_EQ(std::system(("sqlite3 " + file + " '" + c.statement + "' >/dev/null").c_str()), 0);
    else std::ofstream(file) << "devices: none, this is a text file\n";
    if (c.overwrite_page)
      std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(4096) << std::string(4096, '\x5a');
    const std::string bytes = Read(file);
    EXPECT_EQ(RunOther("--data " + file), 1);
    EXPECT_NE(Log().find(file), std::string::npos) << Log();
    EXPECT_NE(Log().find(c.reason), std::string::npos) << Log();
    EXPECT_EQ(Read(file), bytes) << "the refused file was changed";
  }

  // Locked: a daemon serves the file, a second one and embedded:FILE are refused.
  Store first(true, directory_, file_);
  ASSERT_TRUE(first.open()) << Log();
  EXPECT_EQ(RunOther("--data " + file_), 1);
  EXPECT_NE(Log().find("the data file " + file_ + ": it is in use by another running daemon"), std::string::npos);
  std::string error;
  EXPECT_EQ(cds::make_transport("embedded:" + file_, &error), nullptr);
  EXPECT_NE(error.find("in use by another"), std::string::npos) << error;
}

// A write that the file cannot take (a real write failure of the system,
// not a simulated one) is refused and changes nothing, reads go on, and after
// a restart without the limit the store is whole and writable.
TEST_F(DurableTest, FullDiskFailsWritesAndChangesNothing) {
  {
    Store made(false, directory_, file_);
    ASSERT_TRUE(made.open());
    made.ok(NewDevice("before"));
  }
  // The daemon inherits a file size limit just above what the store holds,
  // with SIGXFSZ ignored so that a write past it fails instead of killing it.
  struct rlimit original {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = original;
  limited.rlim_cur = 256 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  Store store(true, directory_, file_);
  const bool opened = store.open();
  setrlimit(RLIMIT_FSIZE, &original);
  std::signal(SIGXFSZ, previous);
  ASSERT_TRUE(opened) << Log();

  cds::CSetOOBData big;
  big.units.push_back({"big", {}, 0, 0});
  (*big.units[0].data.mutable_fields())["blob"].set_string_value(std::string(400 * 1024, 'x'));
  auto refused = store.ask(big);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->status, cds::status_ok);
  EXPECT_NE(refused->message.find("could not keep"), std::string::npos) << refused->message;
  cds::CGetOOBData read;
  read.paths = {"big"};
  EXPECT_EQ(store.ok(read)->results.at(0).found, 0) << "memory holds a write the file refused";
  store.ok(NewDevice("small"));  // fits: the store still writes what it can
  store.close();

  ASSERT_TRUE(store.open()) << Log();
  EXPECT_EQ(store.ok(read)->results.at(0).found, 0);
  cds::CGetDevice all;
  all.ids = {1};
  all.depth = 1;
  EXPECT_EQ(store.ok(all)->devices.size(), 3u);
  store.ok(big);
  EXPECT_EQ(store.ok(read)->results.at(0).found, 1);
}

// A commit fails while a newer value of the same channel waits to be
// committed behind it: the newest value answered with status 1 is what the
// store shows and what the file holds after a restart, whichever commit
// failed and however the newer value travels (held for the flush, or in the
// rows of a request that also raised an alarm).
TEST_F(DurableTest, AFailedCommitNeverPutsAnOlderValueOverANewerOne) {
  struct Case {
    const char* name;
    bool flush_fails;    // else a request's commit fails, failing what queued behind it
    double newer;        // 20 raises the channel's alarm
    bool behind_fails;   // the commit of the request behind fails too
  };
  const Case cases[] = {{"a request's commit fails", false, 2.0, false},
                        {"a value flush fails", true, 20.0, false},
                        {"a value flush fails, then the request behind it", true, 20.0, true}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailingDisk disk;
    Store store(false, directory_, directory_ + "/values" + std::to_string(n++) + ".db");
    store.value_flush_ms = c.flush_fails ? 1 : 3600 * 1000;  // at once, or never before the store closes
    ASSERT_TRUE(store.open());
    const std::uint64_t device = store.ok(NewDevice("pdu"))->devices.at(0).id;
    const std::uint64_t load = store.ok(NewChannel(device, "load"))->channels.at(0).id();
    store.ok(HighAlarm(load));

    disk.fail_log_writes(c.behind_fails ? 2 : 1, true);
    store.ok(NewValue(load, zu::CValue(1.0)));
    std::thread failing;  // the request whose commit fails, if one does
    std::uint32_t failing_status = cds::status_ok;
    if (!c.flush_fails)
      failing = std::thread([&] { failing_status = store.ask(NewDevice("failing"))->status; });
    disk.wait_held();

    // Behind the commit under way: the newer value, and a request that takes it along.
    const int before = store.changes();
    std::thread behind;
    std::uint32_t behind_status = cds::status_none;
    if (c.newer < 10) {
      store.ok(NewValue(load, zu::CValue(c.newer)));
      behind = std::thread([&] { behind_status = store.ask(NewDevice("behind"))->status; });
      store.wait_changes(before + 2);
    } else {
      behind = std::thread([&] { behind_status = store.ask(NewValue(load, zu::CValue(c.newer)))->status; });
      store.wait_changes(before + 1);
    }
    disk.release();
    if (failing.joinable()) failing.join();
    behind.join();
    // What queued behind a failed request fails with it; behind a flush it commits.
    EXPECT_EQ(failing_status == cds::status_ok, c.flush_fails);
    EXPECT_EQ(behind_status == cds::status_ok, c.flush_fails && !c.behind_fails);
    const double kept = c.behind_fails ? 1.0 : c.newer;
    EXPECT_EQ(store.value(load), kept);
    store.close();  // flushes what is held
    ASSERT_TRUE(store.open());
    EXPECT_EQ(store.value(load), kept) << "the newest value answered is not in the file";
  }
}

// After a failed commit the store reloads its file before it answers again;
// while it cannot read the file back, it answers nothing from memory (which
// holds the refused change) and tries again with each request.
TEST_F(DurableTest, AStoreThatCannotReloadRefusesUntilItCan) {
  FailingDisk disk;
  Store store(false, directory_, file_);
  ASSERT_TRUE(store.open());
  cds::CGetDevice tree;
  tree.ids = {1};
  tree.depth = 1;
  disk.fail_log_writes(1, false);
  auto failed = store.ask(NewDevice("refused"));
  ASSERT_NE(failed->status, cds::status_ok);
  EXPECT_NE(failed->message.find("could not keep"), std::string::npos) << failed->message;

  disk.fail_reads(true);
  for (std::uint32_t status :
       {store.ask(tree)->status, store.ask(NewDevice("later"))->status, store.ask(cds::CGetStoreInfo())->status})
    EXPECT_EQ(status, cds::status_refused);
  auto refused = store.ask(tree);
  EXPECT_NE(refused->message.find("reloads its file"), std::string::npos) << refused->message;

  disk.fail_reads(false);
  auto read = store.ask(tree);
  ASSERT_EQ(read->status, cds::status_ok) << read->message;
  EXPECT_EQ(read->devices.size(), 1u) << "the refused device came back";
  EXPECT_EQ(store.ask(NewDevice("healed"))->status, cds::status_ok);
}

}  // namespace
}  // namespace durable_test
