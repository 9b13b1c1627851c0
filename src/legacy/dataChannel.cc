// The older channel interface.
#include "cdsapi/dataChannel.h"

#include <cstring>

#include "cdsapi/dataHandler.h"
#include "common/Response.h"
#include "common/Text.h"
#include "legacy/Console.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::c_text;
using detail::response_as;

namespace {

// Legacy type code of a channel data type; 0 for the types the legacy
// interface does not handle.
std::int32_t legacy_type(std::uint8_t data_type) {
  switch (data_type) {
    case zu::type_bool: return 1;
    case zu::type_int32: return 3;  // crossed with uint32, as the legacy code always was
    case zu::type_uint32: return 2;
    case zu::type_float: return 4;
    case zu::type_string: return 5;
    default: return 0;
  }
}

// The scalar as the channel's data type reads it; an invalid value for types
// the legacy interface does not handle.
zu::CValue scalar_value(std::uint8_t data_type, const value_cds& scalar, const std::string& text) {
  unsigned char bytes[sizeof scalar];
  std::memcpy(bytes, &scalar, sizeof scalar);
  switch (data_type) {
    case zu::type_bool: return zu::CValue(bytes[0] != 0);
    case zu::type_int32: {
      std::int32_t v;
      std::memcpy(&v, bytes, sizeof v);
      return zu::CValue(v);
    }
    case zu::type_uint32: {
      std::uint32_t v;
      std::memcpy(&v, bytes, sizeof v);
      return zu::CValue(v);
    }
    case zu::type_float: {
      float v;
      std::memcpy(&v, bytes, sizeof v);
      return zu::CValue(v);
    }
    case zu::type_string: return zu::CValue(c_text(text));
    default: return zu::CValue();
  }
}

// Stores a value in the scalar's word; a bool clears the word and sets its first byte.
void store_scalar(value_cds& scalar, bool v) {
  scalar.u = 0;
  scalar.b = v;
}
void store_scalar(value_cds& scalar, std::int32_t v) { scalar.i = v; }
void store_scalar(value_cds& scalar, std::uint32_t v) { scalar.u = v; }
void store_scalar(value_cds& scalar, float v) { scalar.f = v; }

std::shared_ptr<zu::cds::CRequestResponse> submit(dataClient& self, const std::shared_ptr<dataHandler>& handler,
                                                  zu::cds::CRequestResponse& request) {
  return handler ? handler->submit_wait(request) : self.client->submit_wait(request);
}

void write_value(dataClient& self, const std::shared_ptr<dataHandler>& handler, unsigned long long channel_id,
                 const zu::CValue& value) {
  zu::cds::CUpdateChannelValue request = detail::value_write(channel_id, value);
  submit(self, handler, request);
}

bool update_scalar(dataChannel& self, const std::shared_ptr<dataHandler>& handler, unsigned long long channel_id,
                   const value_cds& value, const std::string& text) {
  zu::cds::CGetChannelSettings request;
  request.ids = {channel_id};
  auto response = response_as<zu::cds::CGetChannelSettings>(submit(self, handler, request));
  if (!response || response->settings.size() != 1) return false;
  write_value(self, handler, channel_id, scalar_value(response->settings.front().data_type, value, text));
  return true;
}

// get: without a handler texts are kept as the C strings they were; through
// a handler they are kept whole, channelId follows and absence is reported.
bool read_channel(dataChannel& self, const std::shared_ptr<dataHandler>& handler, unsigned long long channel_id) {
  zu::cds::CGetChannelSettings settings_request;
  settings_request.ids = {channel_id};
  auto settings = response_as<zu::cds::CGetChannelSettings>(submit(self, handler, settings_request));
  zu::cds::CGetChannelValue value_request;
  value_request.ids = {channel_id};
  auto values = response_as<zu::cds::CGetChannelValue>(submit(self, handler, value_request));

  if (!settings || settings->settings.size() != 1) {
    if (handler) detail::console_line("no Channel: ");
    return false;
  }
  const zu::CChannelSettings& entry = settings->settings.front();
  auto text = [&handler](const std::string& t) { return handler ? t : c_text(t); };
  const zu::CValue* value = values && values->values.size() == 1 ? &values->values.front().value : nullptr;
  if (value) {
    switch (entry.data_type) {
      case zu::type_bool: store_scalar(self.scalar, value->as_bool()); break;
      case zu::type_int32: store_scalar(self.scalar, static_cast<std::int32_t>(value->as_int32())); break;
      case zu::type_uint32: store_scalar(self.scalar, static_cast<std::uint32_t>(value->as_uint32())); break;
      case zu::type_float: store_scalar(self.scalar, value->as_float()); break;
      case zu::type_string: self.stringValue = text(value->as_string()); break;
      default: break;
    }
  }
  if (std::int32_t code = legacy_type(entry.data_type)) self.typeCode = code;
  if (handler) self.channelId = channel_id;
  self.settingsText1 = text(entry.text1);
  self.settingsText2 = text(entry.text2);
  return true;
}

}  // namespace

dataChannel::dataChannel(std::string client_name, unsigned long long channel_id)
    : dataClient(std::move(client_name)), channelId(channel_id) {}

dataChannel::~dataChannel() = default;

bool dataChannel::create(unsigned long long device_id, unsigned long long channel_id, const std::string& name,
                         bool settings_flag) {
  zu::cds::CCreateChannel request;
  request.requests.push_back({device_id, name, true, channel_id});
  request.legacy = true;
  // The number of channels returned decides, not the status.
  auto response = response_as<zu::cds::CCreateChannel>(client->submit_wait(request));
  if (!response) return false;
  if (settings_flag && !response->channels.empty()) {
    zu::cds::CUpdateChannelSettings update;
    update.settings.push_back(*response->channels.front().settings());
    update.settings.front().flags |= zu::CChannelSettings::kSettingsFlag;
    client->submit_wait(update);
  }
  if (response->channels.size() != 1) return false;
  const zu::CChannelSettings& settings = *response->channels.front().settings();
  if (std::int32_t code = legacy_type(settings.data_type)) typeCode = code;
  settingsText1 = settings.text1;
  settingsText2 = settings.text2;
  detail::console_line("Channel " + std::to_string(channel_id) + " created !");
  return true;
}

bool dataChannel::update(unsigned long long channel_id, const zu::CValue& value) {
  write_value(*this, nullptr, channel_id, value);
  return true;
}

bool dataChannel::update(unsigned long long, unsigned long long channel_id, const value_cds& value,
                         const std::string& text) {
  return update_scalar(*this, nullptr, channel_id, value, text);
}

bool dataChannel::update(unsigned long long, unsigned long long channel_id, const value_cds& value,
                         const std::string& text, std::shared_ptr<dataHandler> handler) {
  return handler && update_scalar(*this, handler, channel_id, value, text);
}

bool dataChannel::get(unsigned long long channel_id) { return read_channel(*this, nullptr, channel_id); }

bool dataChannel::get(unsigned long long channel_id, std::shared_ptr<dataHandler> handler) {
  return handler && read_channel(*this, handler, channel_id);
}

bool dataChannel::remove(unsigned long long channel_id) {
  zu::cds::CDeleteChannel request;
  request.ids = {channel_id};
  client->submit_wait(request);
  return true;
}

bool dataChannel::subscribe(unsigned long long channel_id, std::function<void(unsigned long long, zu::CValue)> callback,
                            std::shared_ptr<dataHandler> handler) {
  if (!handler) return false;
  return handler->registerSubscription(std::vector<unsigned long long>{channel_id},
                                       dataHandler::SubscriptionCallback::ChannelCallback(std::move(callback)),
                                       zu::sub::channel_value_written, nullptr);
}

}  // namespace cdsapi
