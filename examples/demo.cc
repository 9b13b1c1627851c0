// A short tour of the library: connect to the data store, build a device with
// a channel, write a value and read it back.
//
//   cds-demo                      uses a data store inside this process
//   cds-demo --endpoint unix:PATH uses the cdsd daemon listening on PATH
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "cdsapi/dataClient.h"
#include "zu/cds/CClient.h"
#include "zu/cds/Records.h"

namespace {

template <typename T>
std::shared_ptr<T> ask(cdsapi::dataClient& client, T& request) {
  auto response = std::dynamic_pointer_cast<T>(client.client->submit_wait(request));
  if (!response || response->status != zu::cds::status_ok) {
    std::fprintf(stderr, "demo: %s failed: %s\n", request.class_name(),
                 response ? response->get_status_text() : "no response");
    return nullptr;
  }
  return response;
}

int usage(const char* self) {
  std::fprintf(stderr, "usage: %s [--endpoint embedded|unix:PATH]\n", self);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint = "embedded";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--endpoint") == 0 && i + 1 < argc) endpoint = argv[++i];
    else if (std::strcmp(argv[i], "--help") == 0) { usage(argv[0]); return 0; }
    else return usage(argv[0]);
  }
  zu::cds::CClient::get()->set_endpoint(endpoint);

  cdsapi::dataClient client("cds-demo");
  if (!client.connect(false)) return 1;
  std::printf("connected to the data store at %s as \"%s\"\n", endpoint.c_str(), client.name.c_str());

  zu::CDevice sensor;
  sensor.parent_id = 1;
  *sensor.attribute(zu::device_attribute_number("name")) = "boiler room sensor";
  zu::cds::CCreateDevice create;
  create.devices.push_back(sensor);
  auto created = ask(client, create);
  if (!created || created->devices.empty()) return 1;
  unsigned long long device_id = created->devices.front().id;
  std::printf("created device %llu under the manager device 1\n", device_id);

  zu::cds::CCreateChannel make_channel;
  make_channel.requests.push_back({device_id, "temperature", true, zu::kNoId});
  auto channel = ask(client, make_channel);
  if (!channel || channel->channels.empty()) return 1;
  unsigned long long channel_id = channel->channels.front().id();
  std::printf("created channel %llu \"temperature\" on device %llu\n", channel_id, device_id);

  zu::cds::CUpdateChannelValue write;
  write.values.push_back({channel_id, zu::CValue(21.5)});
  write.time = zu::CWallTime::now();
  if (!ask(client, write)) return 1;
  std::printf("wrote 21.5 to channel %llu\n", channel_id);

  zu::cds::CGetChannelValue read;
  read.ids = {channel_id};
  auto value = ask(client, read);
  if (!value || value->values.empty()) return 1;
  const zu::CValue& v = value->values.front().value;
  std::printf("read back %s (type %s)\n", v.as_string().c_str(), zu::type_name(v.type()));
  return 0;
}
