// Channel alarm configuration operations of InBandAccessor.
#include <algorithm>
#include <stdexcept>

#include "cdsapi/AlarmInfos.h"
#include "cdsapi/InBandAccessor.h"
#include "common/Response.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::successful;
using detail::with_id;

namespace {

const unsigned int kStoreToLibraryLevel[] = {LevelInfo, LevelGood, LevelWarning, LevelCritical};

[[noreturn]] void unknownChannel(unsigned long long channel_id) {
  throw std::invalid_argument(with_id("Unknown channel Number ", channel_id));
}

// The channel's one configuration; anything else means the channel is unknown.
zu::cds::CSingleAlarmConfig readConfig(dataClient& client, unsigned long long channel_id) {
  zu::cds::CGetAlarmConfig request;
  request.channel_ids.insert(channel_id);
  auto response = successful<zu::cds::CGetAlarmConfig>(client.client->submit_wait(request));
  if (!response || response->configs.size() != 1) unknownChannel(channel_id);
  return response->configs.front();
}

// A configuration whose first trigger is about to be read or written. The
// store may well hold a channel with no trigger at all.
zu::cds::CSingleAlarmConfig readConfigWithTrigger(dataClient& client, unsigned long long channel_id) {
  zu::cds::CSingleAlarmConfig config = readConfig(client, channel_id);
  if (config.triggers.empty()) unknownChannel(channel_id);
  return config;
}

// The write-back of the read-modify-write setters: the store's answer is not
// examined, as a refused write leaves the configuration as it was.
unsigned long long writeConfig(dataClient& client, unsigned long long channel_id,
                               const zu::cds::CSingleAlarmConfig& config) {
  zu::cds::CSetAlarmConfig request;
  request.configs.push_back(config);
  client.client->submit_wait(request);
  return channel_id;
}

void checkTrigger(const zu::cds::CSingleAlarmConfig& config, unsigned long long channel_id, TriggerId trigger) {
  if (static_cast<std::size_t>(trigger) >= config.triggers.size()) unknownChannel(channel_id);
}

}  // namespace

unsigned int translateTriggerLevel(unsigned int level) {
  return level < sizeof(kStoreToLibraryLevel) / sizeof(kStoreToLibraryLevel[0]) ? kStoreToLibraryLevel[level] : level;
}

zu::cds::CSingleAlarmConfig InBandAccessor::getChannelAlarmConfig(unsigned long long channel_id) {
  return readConfig(client, channel_id);
}

unsigned long long InBandAccessor::setChannelAlarmConfig(unsigned long long channel_id,
                                                         const zu::cds::CSingleAlarmConfig& config) {
  zu::cds::CSetAlarmConfig request;
  request.configs.push_back(config);
  request.configs.front().channel_id = channel_id;
  if (!successful<zu::cds::CSetAlarmConfig>(client.client->submit_wait(request))) unknownChannel(channel_id);
  return channel_id;
}

bool InBandAccessor::getChannelAlarmEnabled(unsigned long long channel_id) {
  zu::cds::CGetChannel request;
  request.ids = {channel_id};
  request.device_id = zu::kNoId;
  auto response = successful<zu::cds::CGetChannel>(client.client->submit_wait(request));
  if (!response || response->results.size() != 1) return false;
  return !response->results.front().channel.get_state().test(zu::realtime_state::alarm_disabled);
}

unsigned long long InBandAccessor::setChannelAlarmEnabled(unsigned long long channel_id, bool enabled) {
  zu::cds::CSetChannelState request;
  zu::cds::CSetSingleChannelState entry;
  entry.id = channel_id;
  // The assignment makes the disabled bit exactly what is wanted.
  entry.state = enabled ? zu::CStateBits() : zu::CStateBits(zu::realtime_state::alarm_disabled);
  entry.op = zu::cds::state_op::assign;
  request.states.push_back(entry);
  if (!successful<zu::cds::CSetChannelState>(client.client->submit_wait(request)))
    throw std::runtime_error("Can't set channel");
  return channel_id;
}

LevelAlarm InBandAccessor::getChannelAlarmLevel(unsigned long long channel_id) {
  const auto config = readConfigWithTrigger(client, channel_id);
  return static_cast<LevelAlarm>(translateTriggerLevel(config.triggers.front().level));
}

unsigned long long InBandAccessor::setChannelAlarmLevel(unsigned long long channel_id, LevelAlarm level) {
  auto config = readConfigWithTrigger(client, channel_id);
  config.triggers.front().level = static_cast<unsigned int>(level);
  return writeConfig(client, channel_id, config);
}

float InBandAccessor::getChannelAlarmHysteresis(unsigned long long channel_id) {
  return readConfigWithTrigger(client, channel_id).triggers.front().hysteresis.as_float();
}

unsigned long long InBandAccessor::setChannelAlarmHysteresis(unsigned long long channel_id, float hysteresis) {
  auto config = readConfig(client, channel_id);
  for (auto& trigger : config.triggers) trigger.hysteresis = zu::CValue(hysteresis);
  return writeConfig(client, channel_id, config);
}

unsigned int InBandAccessor::getChannelAlarmDelay(unsigned long long channel_id) {
  return readConfigWithTrigger(client, channel_id).triggers.front().delay;
}

unsigned long long InBandAccessor::setChannelAlarmDelay(unsigned long long channel_id, unsigned int delay) {
  auto config = readConfig(client, channel_id);
  for (auto& trigger : config.triggers) trigger.delay = delay;
  return writeConfig(client, channel_id, config);
}

bool InBandAccessor::getChannelAlarmTriggerThreshold(unsigned long long channel_id) {
  return readConfigWithTrigger(client, channel_id).triggers.front().threshold.as_bool();
}

unsigned long long InBandAccessor::setChannelAlarmTriggerThreshold(unsigned long long channel_id, bool threshold) {
  auto config = readConfigWithTrigger(client, channel_id);
  config.triggers.front().threshold = zu::CValue(threshold);
  return writeConfig(client, channel_id, config);
}

float InBandAccessor::getChannelAlarmTriggerThreshold(unsigned long long channel_id, TriggerId trigger) {
  auto config = readConfig(client, channel_id);
  checkTrigger(config, channel_id, trigger);
  std::sort(config.triggers.begin(), config.triggers.end(), less_than_threshold());
  return config.triggers[trigger].threshold.as_float();
}

unsigned long long InBandAccessor::setChannelAlarmTriggerThreshold(unsigned long long channel_id, TriggerId trigger,
                                                                   float threshold) {
  auto config = readConfig(client, channel_id);
  checkTrigger(config, channel_id, trigger);
  std::sort(config.triggers.begin(), config.triggers.end(), less_than_threshold());
  config.triggers[trigger].threshold = zu::CValue(threshold);
  return writeConfig(client, channel_id, config);
}

}  // namespace cdsapi
