// The store kept in a SQLite file.
//
// Every write request's changes are committed under the engine's write lock,
// before its answer, except plain value writes: those are held here and
// written by a flush thread every value_flush_ms (a crash loses at most that
// window of values). With sync_full, the wait for the disk happens after the
// lock is released and is shared: one fsync of the write-ahead log covers
// every commit made before it started (group commit).
//
// A commit that fails is rolled back, and the engine's data is reloaded from
// the file with the held values laid over it: that is exactly the data as it
// was before the failed request.
#include <atomic>
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
namespace {

// A value write held for the next flush.
struct HeldValue {
  std::uint8_t type = zu::type_none;
  zu::CValue value;
  zu::CWallTime time;
};

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

class SqlitePersistence : public Persistence {
 public:
  explicit SqlitePersistence(const EngineOptions& options)
      : options_(options), db_(options.data_file) {
    if (options_.value_flush_ms > 0) flusher_ = std::thread([this] { flush_loop(); });
  }

  ~SqlitePersistence() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    std::string error;
    if (!flush(&error)) warn("values written since the last flush are lost: " + error);
  }

  void load(StoreData& data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_.fresh()) {
      // A new file starts from the store as it is: the manager device.
      std::string error;
      if (!write_all(data, &error)) throw StoreFileError("the data file " + db_.path() + ": cannot write it: " + error);
      return;
    }
    read_all(data);
  }

  bool record(const StoreData& data, const ChangeSet& changes, std::uint64_t* ticket, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    *ticket = 0;
    if (options_.value_flush_ms > 0 && only_values(changes)) {
      for (const auto& written : changes.values_written) hold(data, written.first);
      return true;
    }
    // Values written with other changes go with them, in the channels' rows.
    if (!commit(data, changes, error)) return false;
    *ticket = ++committed_;
    return true;
  }

  bool restore(StoreData& data, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      read_all(data);
    } catch (const std::exception& e) {
      *error = e.what();
      return false;
    }
    for (const auto& [id, held] : held_) {
      ChannelNode* node = data.channel(id);
      if (!node) continue;
      node->channel.data_type = held.type;
      node->value = held.value;
      node->time = held.time;
    }
    return true;
  }

  bool wait_durable(std::uint64_t ticket, std::string* error) override {
    if (!options_.sync_full || ticket == 0) return true;
    std::unique_lock<std::mutex> lock(sync_mutex_);
    while (synced_ < ticket) {
      if (syncing_) {
        synced_cv_.wait(lock);
        continue;
      }
      // This thread syncs for every commit made so far, its own included.
      syncing_ = true;
      const std::uint64_t target = committed_.load();
      lock.unlock();
      std::string sync_error;
      const bool ok = db_.sync(&sync_error);
      lock.lock();
      syncing_ = false;
      synced_cv_.notify_all();
      if (!ok) {
        *error = sync_error;
        return false;
      }
      if (target > synced_) synced_ = target;
    }
    return true;
  }

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
    held_[id] = HeldValue{node->channel.data_type, node->value, node->time};
  }

  void flush_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool failing = false;
    while (!stop_) {
      wake_.wait_for(lock, std::chrono::milliseconds(options_.value_flush_ms));
      if (stop_ || held_.empty()) continue;
      std::string error;
      const bool ok = write_held(&error);
      if (ok) {
        const std::uint64_t ticket = ++committed_;
        lock.unlock();
        if (!wait_durable(ticket, &error)) warn("channel values could not be synced to the disk: " + error);
        lock.lock();
      } else if (!failing) {
        warn("channel values could not be written to " + db_.path() + " (they stay in memory; retried): " + error);
      }
      failing = !ok;
    }
  }

  bool flush(std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty()) return true;
    if (!write_held(error)) return false;
    return !options_.sync_full || db_.sync(error);
  }

  // Under mutex_.
  bool write_held(std::string* error) {
    if (!begin(error)) return false;
    if (!write_values(error) || !end(error)) return false;
    held_.clear();
    return true;
  }

  bool begin(std::string* error) { return db_.exec("BEGIN", error); }

  bool end(std::string* error) {
    if (db_.exec("COMMIT", error)) return true;
    db_.rollback();
    return false;
  }

  bool fail(std::string* error) {
    *error = db_.last_error();
    db_.rollback();
    return false;
  }

  bool write_values(std::string* error) {
    Statement update(db_.handle(), "UPDATE channels SET type=?, value=?, time_s=?, time_ns=? WHERE id=?");
    for (const auto& [id, held] : held_) {
      update.bind(1, static_cast<std::int64_t>(held.type));
      bind_value(update, 2, held.value);
      update.bind(3, time_seconds(held.time)).bind(4, static_cast<std::int64_t>(held.time.nanoseconds)).bind_id(5, id);
      if (!update.run()) return fail(error);
      update.reset();
    }
    return true;
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

  bool write_meta(const StoreData& data) {
    Statement put(db_.handle(), "INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)");
    const std::pair<const char*, std::uint64_t> rows[] = {{"next_device_id", data.device_ids.next()},
                                                         {"next_channel_id", data.channel_ids.next()},
                                                         {"last_alarm_instance", data.alarms.last_instance}};
    for (const auto& [key, value] : rows) {
      put.bind_text(1, key).bind_id(2, value);
      if (!put.run()) return false;
      put.reset();
    }
    return true;
  }

  bool write_active(const StoreData& data, const AlarmKey& key) {
    auto it = data.alarms.active.find(key);
    if (it == data.alarms.active.end()) {
      Statement drop(db_.handle(), "DELETE FROM active_alarms WHERE channel=? AND number=?");
      return drop.bind_id(1, key.first).bind(2, static_cast<std::int64_t>(key.second)).run();
    }
    Statement put(db_.handle(), "INSERT OR REPLACE INTO active_alarms(channel, number, raise_update, subject) VALUES (?,?,?,?)");
    put.bind_id(1, key.first).bind(2, static_cast<std::int64_t>(key.second));
    put.bind_blob(3, encode_update(it->second.raise)).bind_text(4, it->second.subject);
    return put.run();
  }

  bool write_log(const StoreData& data, const ChangeSet& changes) {
    const auto& log = data.alarms.log;
    Statement put(db_.handle(), "INSERT OR REPLACE INTO alarm_log(instance, time_s, time_ns, entry) VALUES (?,?,?,?)");
    for (const zu::CAlarmUpdate& u : changes.alarm_updates) {
      if (log.empty() || u.instance < log.front().instance) continue;  // already out of the log
      put.bind_id(1, u.instance).bind(2, time_seconds(u.time)).bind(3, static_cast<std::int64_t>(u.time.nanoseconds));
      put.bind_blob(4, encode_update(u));
      if (!put.run()) return false;
      put.reset();
    }
    Statement drop(db_.handle(), "DELETE FROM alarm_log WHERE instance=?");
    for (std::uint64_t instance : changes.alarm_instances_deleted) {
      if (!drop.bind_id(1, instance).run()) return false;
      drop.reset();
    }
    if (changes.alarm_updates.empty()) return true;
    // The oldest updates leave the log as new ones arrive.
    Statement trim(db_.handle(), "DELETE FROM alarm_log WHERE instance < ?");
    return trim.bind_id(1, log.empty() ? zu::kNoId : log.front().instance).run();
  }

  // Under mutex_: one transaction with the held values and `changes`.
  bool commit(const StoreData& data, const ChangeSet& changes, std::string* error) {
    if (!begin(error)) return false;
    try {
      if (!write_values(error)) return false;
      if (!write_changes(data, changes)) return fail(error);
    } catch (const BadRow& bad) {
      db_.rollback();
      *error = bad.what;
      return false;
    }
    if (!end(error)) return false;
    held_.clear();
    return true;
  }

  bool write_changes(const StoreData& data, const ChangeSet& c) {
    Statement drop_device(db_.handle(), "DELETE FROM devices WHERE id=?");
    for (const auto& removed : c.devices_removed) {
      if (!drop_device.bind_id(1, removed.first).run()) return false;
      drop_device.reset();
    }
    Statement drop_channel(db_.handle(), "DELETE FROM channels WHERE id=?");
    for (const auto& removed : c.channels_removed) {
      if (!drop_channel.bind_id(1, removed.first).run()) return false;
      drop_channel.reset();
    }
    std::set<std::uint64_t> devices(c.devices_created.begin(), c.devices_created.end());
    devices.insert(c.device_records_changed.begin(), c.device_records_changed.end());
    for (const auto& field : c.device_fields_written) devices.insert(std::get<0>(field));
    Statement put_device(db_.handle(), "INSERT OR REPLACE INTO devices(id, parent, record, fields) VALUES (?,?,?,?)");
    for (std::uint64_t id : devices)
      if (!write_device(put_device, data, id)) return false;

    std::set<std::uint64_t> channels;
    for (const auto& created : c.channels_created) channels.insert(created.first);
    channels.insert(c.channel_settings_changed.begin(), c.channel_settings_changed.end());
    channels.insert(c.channel_states_changed.begin(), c.channel_states_changed.end());
    channels.insert(c.channel_alarm_configs_changed.begin(), c.channel_alarm_configs_changed.end());
    for (const auto& written : c.values_written) channels.insert(written.first);
    std::set<AlarmKey> alarms;
    for (const zu::CAlarmUpdate& u : c.alarm_updates) {
      channels.insert(u.alarm_id);
      alarms.emplace(u.alarm_id, u.alarm_index);
    }
    Statement put_channel(db_.handle(),
                          "INSERT OR REPLACE INTO channels(id, device, config, alarm_state, type, value, time_s, "
                          "time_ns) VALUES (?,?,?,?,?,?,?,?)");
    for (std::uint64_t id : channels)
      if (!write_channel(put_channel, data, id)) return false;

    Statement put_document(db_.handle(), "INSERT OR REPLACE INTO documents(path, data) VALUES (?,?)");
    for (const std::string& path : c.oob_paths_written) {
      auto it = data.documents.find(path);
      if (it == data.documents.end()) continue;
      if (!put_document.bind_blob(1, path).bind_blob(2, it->second.SerializeAsString()).run()) return false;
      put_document.reset();
    }
    for (const AlarmKey& key : alarms)
      if (!write_active(data, key)) return false;
    if (!write_log(data, c)) return false;
    return write_meta(data);
  }

  // The whole store, into a new file.
  bool write_all(const StoreData& data, std::string* error) {
    ChangeSet everything;
    for (const auto& device : data.devices) everything.devices_created.insert(device.first);
    for (const auto& channel : data.channels) everything.channels_created[channel.first] = channel.second.channel.device_id;
    for (const auto& document : data.documents) everything.oob_paths_written.insert(document.first);
    return commit(data, everything, error);
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
  mutable std::mutex mutex_;  // the database, the held values, stop_; taken under the engine lock, never before it
  StoreDatabase db_;
  std::map<std::uint64_t, HeldValue> held_;
  std::atomic<std::uint64_t> committed_{0};  // commits made, counted
  bool stop_ = false;
  std::condition_variable wake_;
  std::thread flusher_;

  std::mutex sync_mutex_;  // the group sync; never held with mutex_
  std::condition_variable synced_cv_;
  std::uint64_t synced_ = 0;  // commits known to be on the disk
  bool syncing_ = false;
};

}  // namespace

std::unique_ptr<Persistence> open_sqlite_persistence(const EngineOptions& options) {
  return std::make_unique<SqlitePersistence>(options);
}

}  // namespace detail
}  // namespace store
}  // namespace cds
