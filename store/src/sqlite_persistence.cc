// The store kept in a SQLite file.
//
// The engine applies a write request in memory under its lock, and record()
// turns its changes into rows and queues them. The request's answer waits in
// wait_durable(), outside the engine's lock: the first waiter commits
// everything queued in one transaction while later writers queue for the next
// round, so concurrent writers share a commit (and with sync_full its one
// fsync), and a lone writer commits without handing over to another thread.
// Checkpoints of the write-ahead log run in the value-flush thread, never in
// a commit.
//
// Plain value writes are not queued but held here, one per channel, and the
// writer commits them every value_flush_ms (a crash loses at most that window
// of values). A request that changes more takes the held values with it,
// ahead of its own rows, so that an older value never lands after a newer one.
//
// A commit that fails fails every request in it and every request queued
// after it (they were applied on top of it), and marks the store stale until
// the engine calls restore(): memory is then reloaded from the file, with the
// held values laid over it, exactly the data the committed requests made.
//
// Every value write is numbered as it is made. Values of a failed commit go
// back among the held ones only where nothing newer of the channel is held or
// queued (behind a newer queued one they wait for its commit): a put-back
// never brings an older value over a newer one, whatever order the failed
// values come back in.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "persistence.h"
#include "sqlite_db.h"
#include "stored_rows.h"

namespace cds {
namespace store {
namespace detail {

// The commit a request's rows went into: every request in it learns the same outcome.
struct PendingCommit {
  bool done = false;
  std::string error;  // empty when committed
};

namespace {

using Clock = std::chrono::steady_clock;

// A value write held for the next flush. `order` numbers the writes: the
// client sets `time`, so it cannot tell which of two values is newer.
struct HeldValue {
  std::uint8_t type = zu::type_none;
  zu::CValue value;
  zu::CWallTime time;
  std::uint64_t order = 0;
};
using HeldValues = std::map<std::uint64_t, HeldValue>;
// Per channel, the order of the newest value that queued rows write.
using NewestWritten = std::map<std::uint64_t, std::uint64_t>;

// A change set that only writes values (a first write fixes the type, which
// goes with the value).
bool only_values(const ChangeSet& c) {
  if (c.values_written.empty()) return false;
  for (std::uint64_t id : c.channel_settings_changed)
    if (c.values_written.count(id) == 0) return false;
  return c.devices_created.empty() && c.devices_removed.empty() && c.device_records_changed.empty() &&
         c.device_trees_changed.empty() && c.device_channels_changed.empty() && c.device_fields_written.empty() &&
         c.channels_created.empty() && c.channels_removed.empty() && c.channel_states_changed.empty() &&
         c.channel_alarm_configs_changed.empty() && c.alarm_updates.empty() && c.oob_paths_written.empty() &&
         c.alarm_instances_deleted.empty();
}

// The channels whose whole row (value included) a change set rewrites.
std::set<std::uint64_t> channels_in(const ChangeSet& c) {
  std::set<std::uint64_t> channels;
  for (const auto& created : c.channels_created) channels.insert(created.first);
  channels.insert(c.channel_settings_changed.begin(), c.channel_settings_changed.end());
  channels.insert(c.channel_states_changed.begin(), c.channel_states_changed.end());
  channels.insert(c.channel_alarm_configs_changed.begin(), c.channel_alarm_configs_changed.end());
  for (const auto& written : c.values_written) channels.insert(written.first);
  for (const zu::CAlarmUpdate& u : c.alarm_updates) channels.insert(u.alarm_id);
  return channels;
}

// What the writer commits next.
struct Batch {
  RowBatch rows;
  HeldValues values;  // held values to put back if the commit fails (among the rows, or older)
  NewestWritten newest;  // every channel whose value the rows write
  std::shared_ptr<PendingCommit> commit;  // null while no request waits on the batch
};

// Keeps the newer of `value` and what `values` holds of the channel.
void keep_newer(HeldValues& values, std::uint64_t id, HeldValue&& value) {
  auto [it, added] = values.try_emplace(id, std::move(value));  // moves only when added
  if (!added && it->second.order < value.order) it->second = std::move(value);
}

// Values that were to be written and were not: back with the held ones.
// Where `queued` writes a newer value of the channel, the value waits with
// `queued` instead, and comes back only if that commit fails too.
void put_back(HeldValues& held, Batch& queued, HeldValues&& values) {
  for (auto& [id, value] : values) {
    auto written = queued.newest.find(id);
    const bool behind = written != queued.newest.end() && written->second > value.order;
    keep_newer(behind ? queued.values : held, id, std::move(value));
  }
}

class SqlitePersistence : public Persistence {
 public:
  explicit SqlitePersistence(const EngineOptions& options) : options_(options), db_(options.data_file) {
    writer_ = std::thread([this] { write_loop(); });
  }

  ~SqlitePersistence() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    flusher_wake_.notify_all();
    writer_.join();  // commits what is queued and held first
  }

  void load(StoreData& data) override {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !writing_; });
    if (db_.fresh()) {
      // A new file starts from the store as it is: the manager device.
      std::string error;
      if (!write_all(data, &error)) throw StoreFileError("the data file " + db_.path() + ": cannot write it: " + error);
      return;
    }
    read_all(data);
  }

  bool record(const StoreData& data, const ChangeSet& changes, CommitTicket* ticket, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ticket->reset();
    if (stale_) {
      *error = "it was applied on top of a change that could not be committed: " + stale_error_;
      return false;
    }
    if (options_.value_flush_ms > 0 && only_values(changes)) {
      for (const auto& written : changes.values_written) hold(data, written.first);
      return true;
    }
    RowBatch rows;
    const std::set<std::uint64_t> channels = channels_in(changes);
    if (!write_changes(rows, data, changes, channels, error)) return false;
    // Values written with other changes go with them, in the channels' rows;
    // older held values go first. A failed commit puts them back.
    write_values(queued_.rows, held_);
    for (auto& [id, value] : held_) {
      queued_.newest[id] = value.order;
      keep_newer(queued_.values, id, std::move(value));
    }
    held_.clear();
    // A channel's row carries its value as it is now, newer than any held.
    for (std::uint64_t id : channels) queued_.newest[id] = ++last_order_;
    queued_.rows.append(std::move(rows));
    if (!queued_.commit) queued_.commit = std::make_shared<PendingCommit>();
    *ticket = queued_.commit;  // committed by its first waiter
    return true;
  }

  bool restore(StoreData& data, std::string* error) override {
    std::unique_lock<std::mutex> lock(mutex_);
    // What is queued commits (or fails) first: the file must hold it.
    for (;;) {
      if (writing_)
        changed_.wait(lock);
      else if (!queued_.rows.empty())
        commit_round(lock, false);
      else
        break;
    }
    recorded_meta_.fill(kUnknown);
    try {
      read_all(data);
    } catch (const std::exception& e) {
      // Memory still holds what was not kept: stale until a reload succeeds.
      *error = e.what();
      stale_error_ = *error;
      stale_ = true;
      return false;
    }
    // A held value is newer than the file's: a put-back never keeps one that
    // a later commit wrote over.
    for (const auto& [id, held] : held_) {
      ChannelNode* node = data.channel(id);
      if (!node) continue;
      node->channel.data_type = held.type;
      node->value = held.value;
      node->time = held.time;
    }
    stale_ = false;
    return true;
  }

  bool wait_durable(const CommitTicket& ticket, std::string* error) override {
    if (!ticket) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ticket->done) {
      // The first to wait commits for everyone queued so far, itself included;
      // whoever queues meanwhile waits for the next round.
      if (!writing_ && !queued_.rows.empty())
        commit_round(lock, false);
      else
        changed_.wait(lock);
    }
    if (ticket->error.empty()) return true;
    *error = ticket->error;
    return false;
  }

  bool stale() const override { return stale_.load(); }

  std::string describe() const override {
    std::string text = "file: " + db_.path() + "\nsize: " + std::to_string(db_.size()) + " bytes\n";
    text += "configuration, documents, alarms: committed before the answer\n";
    text += options_.value_flush_ms == 0
                ? std::string("channel values: committed before the answer\n")
                : "channel values: written every " + std::to_string(options_.value_flush_ms) +
                      " ms (a crash loses at most that window)\n";
    text += options_.sync_full ? "sync: full (commits survive a power loss)\n"
                               : "sync: normal (commits survive a crash of the process, not a power loss)\n";
    return text;
  }

 private:
  void warn(const std::string& text) const {
    if (options_.warn)
      options_.warn(text);
    else
      std::fprintf(stderr, "cds-store: warning: %s\n", text.c_str());
  }

  void hold(const StoreData& data, std::uint64_t id) {
    const ChannelNode* node = data.channel(id);
    if (!node) return;
    if (held_.empty()) flusher_wake_.notify_one();  // its window starts
    held_[id] = HeldValue{node->channel.data_type, node->value, node->time, ++last_order_};
  }

  // The value-flush thread: commits the held values when the flush window
  // has passed, checkpoints the log when a commit asked for it, and commits
  // everything left once stopped.
  void write_loop() {
    const auto window = std::chrono::milliseconds(options_.value_flush_ms);
    auto next_flush = Clock::now() + window;
    bool values_failing = false;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (checkpoint_wanted_) {
        checkpoint_wanted_ = false;
        lock.unlock();
        db_.checkpoint();  // on a connection of its own: commits go on
        lock.lock();
        continue;
      }
      const bool flush_due = !held_.empty() && (stop_ || Clock::now() >= next_flush);
      if (writing_ && (flush_due || stop_)) {
        flusher_waits_ = true;
        flusher_wake_.wait(lock);
        continue;
      }
      if (flush_due || (stop_ && !queued_.rows.empty())) {
        std::string error;
        const bool ok = commit_round(lock, true, &error);
        if (ok && values_failing) warn("channel values are written to " + db_.path() + " again");
        if (!ok && !values_failing && !stop_)
          warn("channel values could not be written to " + db_.path() + " (they stay in memory; retried): " + error);
        values_failing = !ok;
        if (stop_ && !ok) {
          // The last attempt: nothing retries after this.
          warn("values written since the last flush are lost: " + error);
          held_.clear();
        }
        next_flush = Clock::now() + window;
        continue;
      }
      if (stop_) return;
      if (held_.empty())
        flusher_wake_.wait(lock);
      else
        flusher_wake_.wait_until(lock, next_flush);
    }
  }

  // Under mutex_ (held by `lock`, released meanwhile), the database free:
  // commits what is queued, and the held values when `flush`, in one
  // transaction, and tells the waiters.
  bool commit_round(std::unique_lock<std::mutex>& lock, bool flush, std::string* error_out = nullptr) {
    Batch batch = std::move(queued_);
    queued_ = Batch{};
    HeldValues flushed;
    if (flush) {
      flushed = std::move(held_);
      held_.clear();
    }
    writing_ = true;
    lock.unlock();

    std::string error;
    const bool ok = commit(batch, flushed, &error);
    const bool synced = !ok || !options_.sync_full || db_.sync(&error);
    const bool checkpoint = ok && db_.checkpoint_due();

    lock.lock();
    writing_ = false;
    if (!ok) {
      // What queued meanwhile fails with the batch when a request waits on
      // it; otherwise it still commits, and a put-back value must not go to
      // the file after a newer one it writes.
      if (batch.commit) fail_queued(error);
      put_back(held_, queued_, std::move(flushed));
      put_back(held_, queued_, std::move(batch.values));
    }
    if (batch.commit) {
      batch.commit->done = true;
      if (!synced || !ok) batch.commit->error = ok ? "cannot sync it to the disk: " + error : error;
    }
    // The log's copy syncs the disk: the flush thread does it, not the one answering.
    changed_.notify_all();
    if (checkpoint || flusher_waits_) {
      checkpoint_wanted_ = checkpoint_wanted_ || checkpoint;
      flusher_waits_ = false;
      flusher_wake_.notify_one();
    }
    if (error_out) *error_out = error;
    return ok;
  }

  // Under mutex_, after a commit failed: what was queued behind it fails
  // too, and nothing more is taken until restore().
  void fail_queued(const std::string& error) {
    stale_ = true;
    stale_error_ = error;
    Batch failed = std::move(queued_);
    queued_ = Batch{};
    put_back(held_, queued_, std::move(failed.values));
    if (failed.commit) {
      failed.commit->done = true;
      failed.commit->error = "it was applied on top of a change that could not be committed: " + error;
    }
  }

  // One transaction: `batch`, then the (newer) `flushed` values.
  bool commit(const Batch& batch, const HeldValues& flushed, std::string* error) {
    RowBatch later;
    write_values(later, flushed);
    if (!db_.exec("BEGIN", error)) return false;
    if (!batch.rows.run(db_, error) || !later.run(db_, error)) {
      db_.rollback();
      return false;
    }
    if (db_.exec("COMMIT", error)) return true;
    db_.rollback();
    return false;
  }

  void write_values(RowBatch& batch, const HeldValues& values) {
    Statement update(batch, "UPDATE channels SET type=?, value=?, time_s=?, time_ns=? WHERE id=?");
    for (const auto& [id, held] : values) {
      update.bind(1, static_cast<std::int64_t>(held.type));
      bind_value(update, 2, held.value);
      update.bind(3, time_seconds(held.time)).bind(4, static_cast<std::int64_t>(held.time.nanoseconds)).bind_id(5, id);
      update.run();
      update.reset();
    }
  }

  bool write_device(Statement& put, const StoreData& data, std::uint64_t id) {
    const DeviceNode* node = data.device(id);
    if (!node) return true;
    put.bind_id(1, id).bind_id(2, node->record.parent_id.value_or(zu::kNoId));
    put.bind_blob(3, encode_device(node->record)).bind_blob(4, encode_fields(*node));
    const bool ok = put.run();
    put.reset();
    return ok;
  }

  bool write_channel(Statement& put, const StoreData& data, std::uint64_t id) {
    const ChannelNode* node = data.channel(id);
    if (!node) return true;
    put.bind_id(1, id).bind_id(2, node->channel.device_id).bind_blob(3, encode_channel(node->channel.record()));
    put.bind_text(4, encode_alarm_state(node->alarm));
    put.bind(5, static_cast<std::int64_t>(node->channel.data_type));
    bind_value(put, 6, node->value);
    put.bind(7, time_seconds(node->time)).bind(8, static_cast<std::int64_t>(node->time.nanoseconds));
    const bool ok = put.run();
    put.reset();
    return ok;
  }

  // The counters that changed since the last call (all of them after a
  // restore): most requests leave them as they are, and a commit writes fewer pages.
  bool write_meta(RowBatch& batch, const StoreData& data) {
    Statement put(batch, "INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)");
    const std::pair<const char*, std::uint64_t> rows[] = {{"next_device_id", data.device_ids.next()},
                                                         {"next_channel_id", data.channel_ids.next()},
                                                         {"last_alarm_instance", data.alarms.last_instance}};
    for (std::size_t i = 0; i < recorded_meta_.size(); ++i) {
      const auto& [key, value] = rows[i];
      if (recorded_meta_[i] == value) continue;
      recorded_meta_[i] = value;
      put.bind_text(1, key).bind_id(2, value);
      if (!put.run()) return false;
      put.reset();
    }
    return true;
  }

  bool write_active(RowBatch& batch, const StoreData& data, const AlarmKey& key) {
    auto it = data.alarms.active.find(key);
    if (it == data.alarms.active.end()) {
      Statement drop(batch, "DELETE FROM active_alarms WHERE channel=? AND number=?");
      return drop.bind_id(1, key.first).bind(2, static_cast<std::int64_t>(key.second)).run();
    }
    Statement put(batch, "INSERT OR REPLACE INTO active_alarms(channel, number, raise_update, subject) VALUES (?,?,?,?)");
    put.bind_id(1, key.first).bind(2, static_cast<std::int64_t>(key.second));
    put.bind_blob(3, encode_update(it->second.raise)).bind_text(4, it->second.subject);
    return put.run();
  }

  bool write_log(RowBatch& batch, const StoreData& data, const ChangeSet& changes) {
    const auto& log = data.alarms.log;
    Statement put(batch, "INSERT OR REPLACE INTO alarm_log(instance, time_s, time_ns, entry) VALUES (?,?,?,?)");
    for (const zu::CAlarmUpdate& u : changes.alarm_updates) {
      if (log.empty() || u.instance < log.front().instance) continue;  // already out of the log
      put.bind_id(1, u.instance).bind(2, time_seconds(u.time)).bind(3, static_cast<std::int64_t>(u.time.nanoseconds));
      put.bind_blob(4, encode_update(u));
      if (!put.run()) return false;
      put.reset();
    }
    Statement drop(batch, "DELETE FROM alarm_log WHERE instance=?");
    for (std::uint64_t instance : changes.alarm_instances_deleted) {
      if (!drop.bind_id(1, instance).run()) return false;
      drop.reset();
    }
    if (changes.alarm_updates.empty()) return true;
    // The oldest updates leave the log as new ones arrive.
    Statement trim(batch, "DELETE FROM alarm_log WHERE instance < ?");
    return trim.bind_id(1, log.empty() ? zu::kNoId : log.front().instance).run();
  }

  // Records the rows of `c` in `batch` (`channels`: channels_in(c), whose
  // rows are written whole); false with `*error` set when one cannot be.
  bool write_changes(RowBatch& batch, const StoreData& data, const ChangeSet& c,
                     const std::set<std::uint64_t>& channels, std::string* error) {
    try {
      if (write_rows(batch, data, c, channels)) return true;
      *error = "its rows could not be recorded";
    } catch (const BadRow& bad) {
      *error = bad.what;
    }
    return false;
  }

  bool write_rows(RowBatch& batch, const StoreData& data, const ChangeSet& c,
                  const std::set<std::uint64_t>& channels) {
    Statement drop_device(batch, "DELETE FROM devices WHERE id=?");
    for (const auto& removed : c.devices_removed) {
      if (!drop_device.bind_id(1, removed.first).run()) return false;
      drop_device.reset();
    }
    Statement drop_channel(batch, "DELETE FROM channels WHERE id=?");
    for (const auto& removed : c.channels_removed) {
      if (!drop_channel.bind_id(1, removed.first).run()) return false;
      drop_channel.reset();
    }
    std::set<std::uint64_t> devices(c.devices_created.begin(), c.devices_created.end());
    devices.insert(c.device_records_changed.begin(), c.device_records_changed.end());
    for (const auto& field : c.device_fields_written) devices.insert(std::get<0>(field));
    Statement put_device(batch, "INSERT OR REPLACE INTO devices(id, parent, record, fields) VALUES (?,?,?,?)");
    for (std::uint64_t id : devices)
      if (!write_device(put_device, data, id)) return false;

    std::set<AlarmKey> alarms;
    for (const zu::CAlarmUpdate& u : c.alarm_updates) alarms.emplace(u.alarm_id, u.alarm_index);
    Statement put_channel(batch,
                          "INSERT OR REPLACE INTO channels(id, device, config, alarm_state, type, value, time_s, "
                          "time_ns) VALUES (?,?,?,?,?,?,?,?)");
    for (std::uint64_t id : channels)
      if (!write_channel(put_channel, data, id)) return false;

    Statement put_document(batch, "INSERT OR REPLACE INTO documents(path, data) VALUES (?,?)");
    for (const std::string& path : c.oob_paths_written) {
      auto it = data.documents.find(path);
      if (it == data.documents.end()) continue;
      if (!put_document.bind_blob(1, path).bind_blob(2, it->second.SerializeAsString()).run()) return false;
      put_document.reset();
    }
    for (const AlarmKey& key : alarms)
      if (!write_active(batch, data, key)) return false;
    if (!write_log(batch, data, c)) return false;
    return write_meta(batch, data);
  }

  // The whole store, into a new file. Under mutex_, the writer idle.
  bool write_all(const StoreData& data, std::string* error) {
    ChangeSet everything;
    for (const auto& device : data.devices) everything.devices_created.insert(device.first);
    for (const auto& channel : data.channels) everything.channels_created[channel.first] = channel.second.channel.device_id;
    for (const auto& document : data.documents) everything.oob_paths_written.insert(document.first);
    Batch batch;
    if (!write_changes(batch.rows, data, everything, channels_in(everything), error)) return false;
    return commit(batch, HeldValues{}, error);
  }

  void read_all(StoreData& data) {
    try {
      read_rows(data);
    } catch (const BadRow& bad) {
      throw StoreFileError("the data file " + db_.path() + ": it is corrupt: " + bad.what);
    } catch (const StoreFileError&) {
      throw;
    } catch (const std::exception& e) {
      throw StoreFileError("the data file " + db_.path() + ": it is corrupt: " + e.what());
    }
  }

  void check(const Statement& statement) {
    if (statement.failed()) throw BadRow{db_.last_error()};
  }

  void read_rows(StoreData& data) {
    StoreData loaded;
    Statement meta(db_.handle(), "SELECT key, value FROM meta");
    std::map<std::string, std::uint64_t> counters;
    while (meta.next()) counters[meta.blob(0)] = meta.id(1);
    check(meta);
    if (counters["next_device_id"] > 0) loaded.device_ids.advance_past(counters["next_device_id"] - 1);
    if (counters["next_channel_id"] > 0) loaded.channel_ids.advance_past(counters["next_channel_id"] - 1);
    loaded.alarms.last_instance = counters["last_alarm_instance"];

    Statement devices(db_.handle(), "SELECT id, parent, record, fields FROM devices");
    while (devices.next()) {
      DeviceNode node;
      node.record = decode_device(devices.blob(2));
      node.record.id = devices.id(0);
      node.record.parent_id = devices.id(1);
      decode_fields(devices.blob(3), node);
      loaded.devices.emplace(devices.id(0), std::move(node));
    }
    check(devices);
    if (!loaded.device(kManagerDevice)) throw BadRow{"the manager device 1 is missing"};
    loaded.device(kManagerDevice)->record.parent_id = zu::kNoId;
    for (auto& [id, node] : loaded.devices) {
      if (id == kManagerDevice) continue;
      DeviceNode* parent = loaded.device(*node.record.parent_id);
      if (!parent) throw BadRow{"device " + std::to_string(id) + " has no parent"};
      parent->record.sub_devices.insert(id);
    }

    Statement channels(db_.handle(), "SELECT id, device, config, alarm_state, type, value, time_s, time_ns FROM channels");
    while (channels.next()) {
      const std::uint64_t id = channels.id(0);
      ChannelNode node;
      node.channel = decode_channel(channels.blob(2));
      node.channel.set_ids(id, channels.id(1));
      node.alarm = decode_alarm_state(channels.blob(3));
      const auto type = static_cast<std::uint8_t>(channels.integer(4));
      node.channel.data_type = type;
      node.value = column_value(channels, 5, type);
      node.time = time_from(channels.integer(6), channels.integer(7));
      DeviceNode* device = loaded.device(node.channel.device_id);
      if (!device) throw BadRow{"channel " + std::to_string(id) + " has no device"};
      device->record.channels.insert(id);
      device->channel_names.emplace(node.channel.name, id);
      loaded.channels.emplace(id, std::move(node));
    }
    check(channels);

    Statement documents(db_.handle(), "SELECT path, data FROM documents");
    while (documents.next())
      if (!loaded.documents[documents.blob(0)].ParseFromString(documents.blob(1)))
        throw BadRow{"a stored document does not decode"};
    check(documents);

    // The newest updates the log holds now, oldest first.
    Statement log(db_.handle(), "SELECT time_s, time_ns, entry FROM alarm_log ORDER BY instance DESC LIMIT ?");
    log.bind(1, static_cast<std::int64_t>(data.alarms.log_size));
    while (log.next()) {
      zu::CAlarmUpdate update = decode_update(log.blob(2));
      update.time = time_from(log.integer(0), log.integer(1));
      loaded.alarms.log.push_front(std::move(update));
    }
    check(log);
    Statement active(db_.handle(), "SELECT channel, number, raise_update, subject FROM active_alarms");
    while (active.next()) {
      AlarmKey key(active.id(0), static_cast<std::uint32_t>(active.integer(1)));
      loaded.alarms.active[key] = ActiveAlarm{decode_update(active.blob(2)), active.blob(3)};
    }
    check(active);

    data.devices = std::move(loaded.devices);
    data.channels = std::move(loaded.channels);
    data.device_ids = loaded.device_ids;
    data.channel_ids = loaded.channel_ids;
    data.documents = std::move(loaded.documents);
    data.alarms.log = std::move(loaded.alarms.log);
    data.alarms.active = std::move(loaded.alarms.active);
    data.alarms.last_instance = loaded.alarms.last_instance;
  }

  EngineOptions options_;
  StoreDatabase db_;  // used by one thread at a time, whoever set writing_ (but for checkpoint())
  std::thread writer_;

  // Taken under the engine lock, never before it; not held while committing.
  mutable std::mutex mutex_;
  HeldValues held_;
  Batch queued_;
  std::uint64_t last_order_ = 0;  // of the newest value write
  bool writing_ = false;  // the writer uses db_
  bool stop_ = false;
  bool checkpoint_wanted_ = false;
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  std::array<std::uint64_t, 3> recorded_meta_{kUnknown, kUnknown, kUnknown};  // counters as queued last
  std::string stale_error_;
  std::atomic<bool> stale_{false};  // a commit failed: memory holds what the file does not
  bool flusher_waits_ = false;  // for the database to be free
  std::condition_variable changed_;       // a commit is done, the database free
  std::condition_variable flusher_wake_;  // work for the flush thread, or stop
};

}  // namespace

std::unique_ptr<Persistence> open_sqlite_persistence(const EngineOptions& options) {
  return std::make_unique<SqlitePersistence>(options);
}

}  // namespace detail
}  // namespace store
}  // namespace cds
