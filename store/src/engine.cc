// The engine: sessions, locking and the dispatch of records to the areas.
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "alarms.h"
#include "answer_fields.h"
#include "persistence.h"
#include "store/Engine.h"
#include "store_data.h"
#include "subscriptions.h"
#include "tova/common/Uuid.h"

namespace cds {
namespace store {

using zu::cds::CRequestResponse;

struct Engine::Impl {
  template <typename R>
  using Reader = void (*)(const detail::StoreData&, const R&, R&);
  template <typename R>
  using Writer = void (*)(detail::StoreData&, const R&, R&, ChangeSet&);

  struct SessionInfo {
    std::string client_name;
  };

  explicit Impl(EngineOptions o) : options(o), outboxes(o.notify_queue_limit) {
    detail::init_store(data, tova::common::Uuid::generate().to_hex());
    if (!options.data_file.empty()) persistence = detail::open_sqlite_persistence(options);
    persistence->load(data);
  }

  template <typename R>
  static std::shared_ptr<R> start_response(const R& request) {
    auto response = detail::copy_without_inputs(request);
    response->status = zu::cds::status_none;
    response->message.clear();
    return response;
  }

  template <typename R>
  std::shared_ptr<CRequestResponse> read(const R& request, Reader<R> answer) {
    auto response = start_response(request);
    if (!reloaded_for_read(*response)) return response;
    std::shared_lock<std::shared_mutex> lock(mutex);
    answer(data, request, *response);
    return response;
  }

  template <typename R>
  std::shared_ptr<CRequestResponse> write(SessionId session, const R& request, Writer<R> apply) {
    auto response = start_response(request);
    ChangeSet changes;
    detail::DeliverAfter deliver(outboxes);  // runs once the lock below is released
    std::unique_lock<std::shared_mutex> lock(mutex);
    if (!reload_if_stale(*response)) return response;
    apply(data, request, *response, changes);
    detail::evaluate_alarms(data, changes);
    detail::CommitTicket ticket;
    if (!keep(changes, &ticket, *response)) return response;
    publish(session, changes);
    lock.unlock();
    // Concurrent writers share a commit, outside the lock; the answer waits for it.
    std::string error;
    if (!persistence->wait_durable(ticket, &error)) fail_storage(*response, error);
    return response;
  }

  // Hands a request's changes to the persistence before anyone hears of them.
  // When they cannot be kept the request is refused and the data goes back to
  // what it was, so memory never holds what the file does not.
  bool keep(const ChangeSet& changes, detail::CommitTicket* ticket, CRequestResponse& response) {
    if (changes.empty()) return true;
    std::string error;
    if (persistence->record(data, changes, ticket, &error)) return true;
    std::string restore_error;
    if (!persistence->restore(data, &restore_error)) error += "; and the store could not reload: " + restore_error;
    fail_storage(response, error);
    return false;
  }

  // A commit failed after later requests were applied on top of it (they
  // fail too): memory goes back to the file before anyone reads or writes.
  // While the file cannot be read back, memory holds changes nobody was
  // promised: the request is refused, and the next one tries again. Under the
  // write lock.
  bool reload_if_stale(CRequestResponse& response) {
    std::string error;
    if (reload_if_stale(&error)) return true;
    response.clean();
    detail::refuse(response, zu::cds::status_refused,
                   "the store cannot answer until it reloads its file after a failed write (tried again with "
                   "every request): " + error);
    return false;
  }
  // A reader's check, without the write lock unless the store is stale.
  bool reloaded_for_read(CRequestResponse& response) {
    if (!persistence->stale()) return true;
    std::unique_lock<std::shared_mutex> lock(mutex);
    return reload_if_stale(response);
  }
  bool reload_if_stale(std::string* error) {
    return !persistence->stale() || persistence->restore(data, error);
  }

  static void fail_storage(CRequestResponse& response, const std::string& error) {
    response.clean();
    detail::refuse(response, zu::cds::status_refused, "the store could not keep the change: " + error);
  }

  // Every change reaches the listener here, under the write lock; the
  // notification and alarm layers attach at this point. Notifications are only
  // queued here: whoever holds the lock calls outboxes.deliver() once it is
  // released (write() does, through DeliverAfter).
  void publish(SessionId session, const ChangeSet& changes) {
    if (!changes.empty() && listener) listener(session, changes);
    if (!changes.empty()) subscriptions.publish(data, changes, outboxes);
  }

  std::shared_ptr<CRequestResponse> manage_ids(SessionId session, const zu::cds::CManageSubscriberIDs& request) {
    auto response = start_response(request);
    std::vector<std::uint64_t> released;
    {
      std::unique_lock<std::shared_mutex> lock(mutex);
      subscriptions.manage_ids(outboxes.is_open(session), session, request, *response, released);
    }
    outboxes.drop(session, released);  // may wait for a delivery: not under the lock
    return response;
  }

  std::shared_ptr<CRequestResponse> store_info(const zu::cds::CGetStoreInfo& request) {
    auto response = start_response(request);
    // Its counts are memory's: not given while memory may hold refused changes.
    if (!reloaded_for_read(*response)) return response;
    response->text = describe();
    response->status = zu::cds::status_ok;
    return response;
  }

  std::string describe() {
    std::shared_lock<std::shared_mutex> lock(mutex);
    return persistence->describe() + "devices: " + std::to_string(data.devices.size()) +
           "\nchannels: " + std::to_string(data.channels.size()) +
           "\ndocuments: " + std::to_string(data.documents.size()) +
           "\nalarm log entries: " + std::to_string(data.alarms.log.size()) + "\n";
  }

  std::shared_ptr<CRequestResponse> subscribe(SessionId session, const zu::cds::CSubscribe& request) {
    auto response = start_response(request);
    std::unique_lock<std::shared_mutex> lock(mutex);
    if (!reload_if_stale(*response)) return response;
    subscriptions.subscribe(data, session, request, *response);
    return response;
  }

  // Alarm delays that ran out raise their alarms: a change the store makes by
  // itself, published under session 0.
  void alarm_delays_due() {
    ChangeSet changes;
    detail::DeliverAfter deliver(outboxes);
    std::unique_lock<std::shared_mutex> lock(mutex);
    std::string error;
    if (!reload_if_stale(&error)) {
      // Nothing else would run the timers again: they try again in a second.
      warn("alarm delays wait: the store could not reload its file: " + error);
      if (data.alarms.wake_at && data.alarms.clock)
        data.alarms.wake_at(data.alarms.clock->steady_now() + std::chrono::seconds(1));
      return;
    }
    detail::run_alarm_timers(data, changes);
    detail::CommitTicket ticket;
    if (!changes.empty() && !persistence->record(data, changes, &ticket, &error)) {
      // Nobody asked: the raise is undone and comes again with the next write of the channel.
      warn("an alarm raised after its delay could not be kept: " + error);
      persistence->restore(data, &error);
      return;
    }
    publish(0, changes);
    lock.unlock();
    // A failed commit leaves the store stale: the next request reloads it, raise undone.
    if (!persistence->wait_durable(ticket, &error)) warn("an alarm raised after its delay could not be kept: " + error);
  }

  void warn(const std::string& text) const {
    if (options.warn)
      options.warn(text);
    else
      std::fprintf(stderr, "cds-store: warning: %s\n", text.c_str());
  }

  // Where each record class goes. Looked up by the record's exact class; a
  // class derived from a record class goes where its base does, the first
  // that fits in this order.
  struct Route {
    const std::type_info* type;
    bool (*fits)(const CRequestResponse&);
    std::shared_ptr<CRequestResponse> (*handle)(Impl&, SessionId, const CRequestResponse&);
  };

  static const std::vector<Route>& routes() {
    using namespace zu::cds;
    namespace d = detail;
#define CDS_ROUTE(Class, call)                                                      \
  Route{&typeid(Class),                                                            \
        [](const CRequestResponse& q) { return dynamic_cast<const Class*>(&q) != nullptr; }, \
        [](Impl& impl, SessionId session, const CRequestResponse& q) {             \
          const auto& r = static_cast<const Class&>(q);                            \
          (void)session;                                                           \
          return call;                                                             \
        }}
    static const std::vector<Route> table{
        CDS_ROUTE(CGetChannelValue, impl.read(r, &d::get_channel_value)),
        CDS_ROUTE(CGetDevice, impl.read(r, &d::get_device)),
        CDS_ROUTE(CCreateDevice, impl.write(session, r, &d::create_device)),
        CDS_ROUTE(CUpdateDevice, impl.write(session, r, &d::update_device)),
        CDS_ROUTE(CDeleteDevice, impl.write(session, r, &d::delete_device)),
        CDS_ROUTE(CCreateChannel, impl.write(session, r, &d::create_channel)),
        CDS_ROUTE(CGetChannel, impl.read(r, &d::get_channel)),
        CDS_ROUTE(CDeleteChannel, impl.write(session, r, &d::delete_channel)),
        CDS_ROUTE(CUpdateChannelValue, impl.write(session, r, &d::update_channel_value)),
        CDS_ROUTE(CGetChannelSettings, impl.read(r, &d::get_channel_settings)),
        CDS_ROUTE(CUpdateChannelSettings, impl.write(session, r, &d::update_channel_settings)),
        CDS_ROUTE(CGetFieldValue, impl.read(r, &d::get_field_value)),
        CDS_ROUTE(CSetFieldValue, impl.write(session, r, &d::set_field_value)),
        CDS_ROUTE(CGetOOBData, impl.read(r, &d::get_oob_data)),
        CDS_ROUTE(CSetOOBData, impl.write(session, r, &d::set_oob_data)),
        CDS_ROUTE(CSetDeviceState, impl.write(session, r, &d::set_device_state)),
        CDS_ROUTE(CSetChannelState, impl.write(session, r, &d::set_channel_state)),
        CDS_ROUTE(CGetAlarmConfig, impl.read(r, &d::get_alarm_config)),
        CDS_ROUTE(CSetAlarmConfig, impl.write(session, r, &d::set_alarm_config)),
        CDS_ROUTE(CGetAlarms, impl.read(r, &d::get_alarms)),
        CDS_ROUTE(CDeleteAlarms, impl.write(session, r, &d::delete_alarms)),
        CDS_ROUTE(CGetAlarmUpdateGlobalCount, impl.read(r, &d::get_alarm_global_count)),
        CDS_ROUTE(CGetStoreInfo, impl.store_info(r)),
        CDS_ROUTE(CManageSubscriberIDs, impl.manage_ids(session, r)),
        CDS_ROUTE(CSubscribe, impl.subscribe(session, r)),
    };
#undef CDS_ROUTE
    return table;
  }

  std::shared_ptr<CRequestResponse> dispatch(SessionId session, const CRequestResponse& request) {
    // By the address of the class's type_info, which the framework's library
    // holds once per record class: hashing the class's name instead cost more
    // than many a request's work. A copy of a type_info elsewhere, or a class
    // derived from a record class, is found by the walk below.
    static const std::unordered_map<const std::type_info*, const Route*> by_class = [] {
      std::unordered_map<const std::type_info*, const Route*> made;
      for (const Route& route : routes()) made.emplace(route.type, &route);
      return made;
    }();
    auto found = by_class.find(&typeid(request));
    if (found != by_class.end()) return found->second->handle(*this, session, request);
    for (const Route& route : routes())
      if (route.fits(request)) return route.handle(*this, session, request);

    auto response = request.clone();
    response->status = zu::cds::status_invalid;
    response->message = std::string("the store does not answer ") + request.class_name();
    return response;
  }

  EngineOptions options;
  std::unique_ptr<detail::Persistence> persistence = std::make_unique<detail::NullPersistence>();
  std::shared_mutex mutex;  // guards data and listener: reads shared, writes exclusive
  detail::StoreData data;
  ChangeListener listener;
  detail::Subscriptions subscriptions;  // guarded by mutex
  detail::Outboxes outboxes;            // has its own lock

  std::mutex sessions_mutex;
  std::map<SessionId, SessionInfo> sessions;
  SessionId next_session = 1;
  // Last, so it stops before anything its thread uses is destroyed.
  detail::AlarmTimers alarm_timers{data.alarms, options, [this] { alarm_delays_due(); }};
};

Engine::Engine(EngineOptions options) : impl_(std::make_unique<Impl>(options)) {}

Engine::~Engine() = default;

SessionId Engine::open_session(const std::string& client_name, zu::cds::NotificationSink sink) {
  std::lock_guard<std::mutex> lock(impl_->sessions_mutex);
  SessionId id = impl_->next_session++;
  impl_->sessions.emplace(id, Impl::SessionInfo{client_name});
  impl_->outboxes.open(id, std::move(sink));
  return id;
}

void Engine::close_session(SessionId session) {
  std::shared_ptr<detail::Outboxes::Outbox> outbox;
  {
    std::unique_lock<std::shared_mutex> lock(impl_->mutex);
    outbox = impl_->outboxes.detach(session);
    impl_->subscriptions.release_session(session);
  }
  if (outbox) outbox->queue.close();  // drops what was queued; waits for a delivery under way
  std::lock_guard<std::mutex> lock(impl_->sessions_mutex);
  impl_->sessions.erase(session);
}

std::shared_ptr<CRequestResponse> Engine::handle(SessionId session, const CRequestResponse& request) {
  // Handlers check before they change anything, so the only exceptions are
  // allocation failures, typically of an answer too large to build.
  try {
    return impl_->dispatch(session, request);
  } catch (const std::bad_alloc&) {
    auto response = request.clone();
    response->status = zu::cds::status_too_big;
    response->message = "the answer does not fit in memory";
    return response;
  } catch (const std::exception& e) {
    auto response = request.clone();
    response->status = zu::cds::status_refused;
    response->message = std::string("request failed: ") + e.what();
    return response;
  }
}

std::string Engine::describe() const { return impl_->describe(); }

void Engine::set_change_listener(ChangeListener listener) {
  std::unique_lock<std::shared_mutex> lock(impl_->mutex);
  impl_->listener = std::move(listener);
}

}  // namespace store
}  // namespace cds
