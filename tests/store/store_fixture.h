#pragma once
// A fresh engine per test and short helpers that speak to it through records:
// devices, channels, values, alarm triggers and documents.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store/Engine.h"
#include "zu/JSON2Protobuf.h"
#include "zu/cds/Records.h"

namespace cds::store::testing {

using Ids = std::vector<std::uint64_t>;

class StoreTest : public ::testing::Test {
 protected:
  explicit StoreTest(EngineOptions options = {})
      : engine_(std::make_shared<Engine>(std::move(options))), session_(engine_->open_session("test", nullptr)) {
    engine_->set_change_listener([this](SessionId s, const ChangeSet& c) {
      changes_.push_back(c);
      sessions_.push_back(s);
    });
  }

  // The engine's answer to `session`, as the class sent.
  template <typename R>
  std::shared_ptr<R> ask_as(SessionId session, const R& request) {
    auto typed = std::dynamic_pointer_cast<R>(engine_->handle(session, request));
    EXPECT_TRUE(typed) << "answer of another class to " << request.class_name();
    return typed ? typed : std::make_shared<R>();
  }
  template <typename R>
  std::shared_ptr<R> ask(const R& request) {
    return ask_as(session_, request);
  }
  // Asks a request of class R that `fill` has set up.
  template <typename R, typename Fill>
  std::shared_ptr<R> ask_with(Fill&& fill) {
    R request;
    fill(request);
    return ask(request);
  }

  static zu::CDevice device_under(std::uint64_t parent, std::uint64_t id = zu::kNoId) {
    zu::CDevice d;
    d.id = id;
    d.parent_id = parent;
    return d;
  }

  // Creates one device and returns its id; fails the test when refused.
  std::uint64_t add_device(std::uint64_t parent, std::uint64_t given_id = zu::kNoId, const std::string& name = "") {
    auto r = ask_with<zu::cds::CCreateDevice>([&](auto& create) {
      create.use_given_ids = given_id != zu::kNoId;
      create.devices = {device_under(parent, given_id)};
      *create.devices[0].attribute(zu::device_attribute_number("name")) = name;
    });
    EXPECT_EQ(r->status, 1u) << r->message;
    return r->devices.empty() ? zu::kNoId : r->devices[0].id;
  }

  std::uint32_t remove_devices(Ids ids) {
    return ask_with<zu::cds::CDeleteDevice>([&](auto& r) { r.ids = ids; })->status;
  }
  std::uint32_t remove_channels(Ids ids) {
    return ask_with<zu::cds::CDeleteChannel>([&](auto& r) { r.ids = ids; })->status;
  }

  // The ids of the devices a walk from `ids` down to `depth` answers, in order.
  Ids walk(Ids ids, std::uint32_t depth) {
    auto r = ask_with<zu::cds::CGetDevice>([&](auto& get) {
      get.ids = ids;
      get.depth = depth;
    });
    EXPECT_EQ(r->status, 1u);
    Ids out;
    for (const auto& d : r->devices) out.push_back(d.id);
    return out;
  }

  zu::CDevice device(std::uint64_t id) {
    auto r = ask_with<zu::cds::CGetDevice>([&](auto& get) { get.ids = {id}; });
    EXPECT_EQ(r->devices.size(), 1u) << "device " << id;
    return r->devices.empty() ? zu::CDevice() : r->devices[0];
  }

  std::shared_ptr<zu::cds::CCreateChannel> create_channel(std::uint64_t device, const std::string& name,
                                                          bool flag = false) {
    return ask_with<zu::cds::CCreateChannel>([&](auto& r) { r.requests = {{device, name, flag, zu::kNoId}}; });
  }

  std::uint64_t add_channel(std::uint64_t device, const std::string& name) {
    auto r = create_channel(device, name);
    EXPECT_EQ(r->status, 1u) << r->message;
    return r->channels.empty() ? zu::kNoId : r->channels[0].id();
  }

  std::shared_ptr<zu::cds::CUpdateChannelValue> write(std::vector<zu::cds::CUpdateSingleChannelValue> values,
                                                      zu::CWallTime time = zu::CWallTime::now()) {
    return ask_with<zu::cds::CUpdateChannelValue>([&](auto& r) {
      r.values = values;
      r.time = time;
    });
  }

  std::vector<zu::cds::CChannelValueResult> read(Ids ids) {
    auto r = ask_with<zu::cds::CGetChannelValue>([&](auto& get) { get.ids = ids; });
    EXPECT_EQ(r->status, 1u);
    return r->values;
  }

  zu::CChannelSettings settings(std::uint64_t channel) {
    auto r = ask_with<zu::cds::CGetChannelSettings>([&](auto& get) { get.ids = {channel}; });
    EXPECT_EQ(r->settings.size(), 1u);
    return r->settings.empty() ? zu::CChannelSettings() : r->settings[0];
  }

  static zu::CAlarmTrigger trigger(std::uint8_t direction, std::uint32_t level, zu::CValue threshold,
                                   float hysteresis = 0, std::uint32_t delay = 0) {
    return {level, direction, std::move(threshold), {}, 0, "", 0, zu::CValue(hysteresis), delay};
  }
  static zu::CAlarmTrigger high(double threshold, float hysteresis = 0, std::uint32_t delay = 0) {
    return trigger(0, 2, zu::CValue(threshold), hysteresis, delay);
  }
  static zu::CAlarmTrigger low(double threshold, float hysteresis = 0) {
    return trigger(1, 2, zu::CValue(threshold), hysteresis);
  }

  std::shared_ptr<zu::cds::CSetAlarmConfig> configure(std::uint64_t channel, std::vector<zu::CAlarmTrigger> triggers) {
    return ask_with<zu::cds::CSetAlarmConfig>([&](auto& set) { set.configs = {{channel, triggers}}; });
  }
  void configure_ok(std::uint64_t channel, std::vector<zu::CAlarmTrigger> triggers) {
    auto r = configure(channel, std::move(triggers));
    ASSERT_EQ(r->status, 1u) << r->message;
  }

  // A document from JSON text; fails the test when the text is no object.
  static zu::proto::toolkitStruct doc(const std::string& json) {
    std::vector<std::shared_ptr<google::protobuf::Message>> parsed;
    EXPECT_EQ(zu::JSON2Protobuf(json, parsed), "") << json;
    auto* d = parsed.size() == 1 ? dynamic_cast<zu::proto::toolkitStruct*>(parsed[0].get()) : nullptr;
    return d ? *d : zu::proto::toolkitStruct();
  }

  // Replaces the documents at the given paths, in order, in one request.
  std::shared_ptr<zu::cds::CSetOOBData> set_documents(
      const std::vector<std::pair<std::string, zu::proto::toolkitStruct>>& documents) {
    return ask_with<zu::cds::CSetOOBData>([&](auto& set) {
      for (const auto& [path, data] : documents) set.units.push_back({path, data, 0, 0});
    });
  }
  std::shared_ptr<zu::cds::CGetOOBData> get_documents(std::vector<std::string> paths) {
    return ask_with<zu::cds::CGetOOBData>([&](auto& get) { get.paths = paths; });
  }

  // The JSON text of the document at `path`; empty when there is none.
  std::string document_json(const std::string& path) {
    auto r = get_documents({path});
    EXPECT_EQ(r->status, 1u) << r->message;
    return r->results.size() == 1 && r->results[0].found ? zu::Protobuf2JSON(r->results[0].data) : std::string();
  }

  std::shared_ptr<Engine> engine_;
  SessionId session_;
  std::vector<ChangeSet> changes_;  // one per request that changed the store
  std::vector<SessionId> sessions_;  // the session of each change set
};

}  // namespace cds::store::testing
