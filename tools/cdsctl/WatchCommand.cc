// watch: channel values, device changes, alarms and document writes as they
// happen, until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "Commands.h"
#include "Output.h"
#include "Values.h"
#include "cdsapi/AlarmInfos.h"

namespace cdsctl {
namespace {

// One event line: the time, the event padded to a column, what happened.
void emit_text(const std::string& event, const std::string& text) {
  print(zu::CWallTime::now().to_string() + "  " + event + std::string(event.size() < 8 ? 8 - event.size() : 1, ' ') +
        text + "\n");
}

// Callbacks run on the library's event thread; one mutex orders them with the
// main thread, and once `stopping_` is set they do nothing. Requests from a
// callback are fine: the library answers them without the event thread.
class Watcher : public std::enable_shared_from_this<Watcher> {
 public:
  Watcher(cdsapi::InBandAccessor& cds, unsigned long long root, bool json) : cds_(cds), root_(root), json_(json) {}

  // Subscribes; Failure when the data store refuses.
  void start() {
    std::lock_guard<std::mutex> lock(mutex_);
    rescan();
    auto self = shared_from_this();
    unsigned long long id = ~0ULL;
    auto device_sub = [&](zu::sub::subscription_type type, const char* event) {
      bool ok = cds_.subscribeDevice(
          root_, [self, event](unsigned long long device) { self->on_device(device, event); }, type, true, &id);
      keep(ok, id, "device changes");
    };
    device_sub(zu::sub::device_record, "device");
    device_sub(zu::sub::device_tree, "sub_devices");
    device_sub(zu::sub::device_channels, "channels");
    bool ok = cds_.subscribeDeviceAlarms(root_, [self](const zu::CAlarmUpdate& u) { self->on_alarm(u); }, &id);
    keep(ok, id, "alarms");
  }

  std::size_t channel_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_.size();
  }

  // After this no callback prints or subscribes; then every subscription ends.
  void stop() {
    std::vector<unsigned long long> ids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      ids.swap(subscriptions_);
    }
    for (unsigned long long id : ids) cds_.unsubscribe(id);
  }

 private:
  struct Channel {
    std::string label;
    std::string units;
  };

  void keep(bool ok, unsigned long long id, const std::string& what) {
    if (id != ~0ULL) subscriptions_.push_back(id);
    if (!ok) throw Failure("the data store refused the subscription to " + what);
  }

  // Watches the values of every channel under the root not yet watched.
  // Called with the mutex held.
  void rescan() {
    std::vector<unsigned long long> fresh;
    std::vector<zu::CDevice> devices;
    try {
      devices = cds_.getDevices(root_, 2147483647U);
    } catch (const std::exception&) {
      return;
    }
    for (const zu::CDevice& d : devices) {
      for (unsigned long long c : d.channels) {
        if (channels_.count(c)) continue;
        Channel info;
        try {
          zu::CChannel channel = cds_.getChannel(c);
          info.label = channel_label(channel);
          info.units = channel.settings()->units;
        } catch (const std::exception&) {
          continue;
        }
        channels_[c] = info;
        fresh.push_back(c);
      }
    }
    if (fresh.empty()) return;
    auto self = shared_from_this();
    unsigned long long id = ~0ULL;
    bool ok = cds_.subscribeMultipleChannels(
        fresh, [self](unsigned long long channel, zu::CValue value) { self->on_value(channel, value); },
        zu::sub::channel_value_changed, &id);
    keep(ok, id, "channel values");
  }

  void on_value(unsigned long long channel, const zu::CValue& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    // Units may have been set since the channel was first seen (a new
    // channel gets its value and its units one after the other).
    try {
      zu::CChannel now = cds_.getChannel(channel);
      channels_[channel] = Channel{channel_label(now), now.settings()->units};
    } catch (const std::exception&) {
    }
    auto it = channels_.find(channel);
    const std::string label = it != channels_.end() ? it->second.label : "#" + std::to_string(channel);
    const std::string units = it != channels_.end() ? it->second.units : std::string();
    if (json_) {
      Json json;
      json.begin_object().key("event").string("value").key("time").string(zu::CWallTime::now().to_string());
      json.key("channel").number(channel).key("name").string(label).key("value").value(value);
      json.key("units").string(units);
      print(json.end_object().text() + "\n");
    } else {
      emit_text("value", label + " = " + value_with_units(value, units));
    }
  }

  void on_device(unsigned long long device, const char* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    const std::string what = event;
    // New channels are watched before the change is shown, so that a value
    // written after the line appears is not missed.
    if (what != "device") rescan();
    if (json_) {
      Json json;
      json.begin_object().key("event").string(what).key("time").string(zu::CWallTime::now().to_string());
      print(json.key("device").number(device).end_object().text() + "\n");
    } else if (what == "device") {
      emit_text("device", "device " + std::to_string(device) + " changed");
    } else if (what == "sub_devices") {
      emit_text("tree", "device " + std::to_string(device) + ": sub-devices added or removed");
    } else {
      emit_text("channels", "device " + std::to_string(device) + ": channels added or removed");
    }
  }

  void on_alarm(const zu::CAlarmUpdate& update) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    cdsapi::AlarmInfos info(update);
    auto it = channels_.find(update.alarm_id);
    const std::string label = it != channels_.end() ? it->second.label : "#" + std::to_string(update.alarm_id);
    const std::string units = it != channels_.end() ? it->second.units : std::string();
    if (json_) {
      Json json;
      json.begin_object().key("event").string("alarm").key("time").string(update.time.to_string());
      json.key("instance").number(static_cast<unsigned long long>(update.instance));
      json.key("level").string(info.getLevelString()).key("back_to_normal").boolean(update.back_to_normal);
      json.key("channel").number(static_cast<unsigned long long>(update.alarm_id)).key("name").string(label);
      json.key("value").value(update.value).key("units").string(units);
      json.key("description").string(info.getDescriptionString());
      print(json.end_object().text() + "\n");
    } else {
      emit_text("alarm", std::string(info.getLevelString()) + (update.back_to_normal ? " cleared " : " raised ") + label +
                             " = " + value_with_units(update.value, units) + ": " + info.getDescriptionString());
    }
  }

  cdsapi::InBandAccessor& cds_;
  const unsigned long long root_;
  const bool json_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::map<unsigned long long, Channel> channels_;
  std::vector<unsigned long long> subscriptions_;
};

// The documents written at or below one path. The library's path
// subscriptions cannot be ended: stop() only silences the callback.
class PathWatcher : public std::enable_shared_from_this<PathWatcher> {
 public:
  PathWatcher(std::string path, bool json) : path_(std::move(path)), json_(json) {}

  // Failure when the data store refuses.
  void start(cdsapi::OobAccessor& oob) {
    auto self = shared_from_this();
    if (!oob.subscribe(path_, [self](const std::string& written) { self->on_write(written); }))
      throw Failure("the data store refused the subscription to documents at " + path_);
  }

  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }

 private:
  void on_write(const std::string& written) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    if (json_) {
      Json json;
      json.begin_object().key("event").string("document").key("time").string(zu::CWallTime::now().to_string());
      print(json.key("path").string(written).end_object().text() + "\n");
    } else {
      emit_text("document", written + " written");
    }
  }

  const std::string path_;
  const bool json_;
  std::mutex mutex_;
  bool stopping_ = false;
};

int run_watch(Args& args, Context& ctx) {
  std::optional<std::string> path = args.option("--path");
  std::optional<std::string> root_text = args.next_positional();
  const unsigned long long root = root_text ? parse_id(*root_text, "DEVICE") : kManagerDevice;
  args.finish();
  if (path && path->empty()) throw UsageError("--path needs a document path");
  // --path alone watches documents only; a DEVICE with it watches both.
  const bool devices = !path || root_text;
  // Every thread the library starts from here on inherits the mask, so the
  // signals wait for sigwait below instead of ending the process.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  auto& cds = ctx.cds();
  if (devices) find_device(cds, root);
  std::shared_ptr<Watcher> watcher;
  std::shared_ptr<PathWatcher> documents;
  auto stop = [&] {
    if (watcher) watcher->stop();
    if (documents) documents->stop();
  };
  try {
    if (devices) {
      watcher = std::make_shared<Watcher>(cds, root, ctx.json);
      watcher->start();
    }
    if (path) {
      documents = std::make_shared<PathWatcher>(*path, ctx.json);
      documents->start(ctx.oob());
    }
  } catch (const Failure&) {
    stop();
    throw;
  } catch (const std::exception& e) {
    stop();
    throw Failure(std::string("cannot subscribe: ") + e.what());
  }
  std::string what;
  if (watcher)
    what = "device " + std::to_string(root) + " and its sub-devices (" + std::to_string(watcher->channel_count()) +
           " channels)";
  if (documents) what += (what.empty() ? "" : ", and ") + std::string("documents at and below ") + *path;
  say("watching " + what + "; stop with Ctrl-C");
  int signal = 0;
  sigwait(&stop_signals, &signal);
  stop();
  return 0;
}

}  // namespace

const std::vector<Command>& watch_commands() {
  static const std::vector<Command> commands = {
      {"watch", "watch [DEVICE] [--path PATH]\n\n"
       "Prints, as they happen, the value changes of the channels of DEVICE (default 1) and\n"
       "its sub-devices, changes of those devices, and their alarms raised and cleared, one\n"
       "line each (with --json, one JSON object a line). With --path, the paths of the\n"
       "documents written at PATH or below it (PATH/...) instead; with DEVICE and --path,\n"
       "both. Runs until SIGINT (Ctrl-C) or SIGTERM, then exits 0.\n",
       "follow changes and alarms live", run_watch},
  };
  return commands;
}

}  // namespace cdsctl
