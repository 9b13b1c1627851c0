#include "zu/cds/Records.h"

namespace zu {
namespace cds {

const char* status_text(std::uint32_t status) {
  switch (status) {
    case status_none: return "no status";
    case status_ok: return "success";
    case status_refused: return "not found or refused";
    case status_no_queue: return "no queue space for the response";
    case status_too_big: return "response too big";
    case status_invalid: return "invalid request";
    case status_exists: return "already exists";
    default: return "unknown status";
  }
}

const char* CRequestResponse::get_status_text() const {
  return message.empty() ? status_text(status) : message.c_str();
}

void CRequestResponse::clean() {
  origin.clear();
  message.clear();
}

void CGetDevice::clean() { CRequestResponse::clean(); ids.clear(); devices.clear(); }
void CCreateDevice::clean() { CRequestResponse::clean(); devices.clear(); }
void CUpdateDevice::clean() { CRequestResponse::clean(); devices.clear(); values.clear(); }
void CDeleteDevice::clean() { CRequestResponse::clean(); ids.clear(); }
void CCreateChannel::clean() { CRequestResponse::clean(); requests.clear(); channels.clear(); }
void CGetChannel::clean() { CRequestResponse::clean(); ids.clear(); names.clear(); results.clear(); }
void CDeleteChannel::clean() { CRequestResponse::clean(); ids.clear(); }
void CGetChannelValue::clean() { CRequestResponse::clean(); ids.clear(); values.clear(); }
void CUpdateChannelValue::clean() { CRequestResponse::clean(); values.clear(); }
void CGetChannelSettings::clean() { CRequestResponse::clean(); ids.clear(); settings.clear(); }
void CUpdateChannelSettings::clean() { CRequestResponse::clean(); settings.clear(); values.clear(); }
void CSetFieldValue::clean() { CRequestResponse::clean(); fields.clear(); }
void CGetFieldValue::clean() { CRequestResponse::clean(); fields.clear(); }
void CGetAlarmConfig::clean() { CRequestResponse::clean(); channel_ids.clear(); device_ids.clear(); configs.clear(); }
void CSetAlarmConfig::clean() { CRequestResponse::clean(); configs.clear(); values.clear(); }
void CSetChannelState::clean() { CRequestResponse::clean(); states.clear(); results.clear(); }
void CSetDeviceState::clean() { CRequestResponse::clean(); states.clear(); results.clear(); }
void CGetOOBData::clean() { CRequestResponse::clean(); paths.clear(); results.clear(); }
void CSetOOBData::clean() { CRequestResponse::clean(); units.clear(); }
void CGetAlarms::clean() { CRequestResponse::clean(); ids.clear(); alarm_ids.clear(); alarms.clear(); }
void CSubscribe::clean() { CRequestResponse::clean(); subscriptions.clear(); }
void CManageSubscriberIDs::clean() {
  CRequestResponse::clean();
  release_ids.clear();
  reserved_ids.clear();
  other_ids.clear();
}
void CSubscriberNotify::clean() {
  CRequestResponse::clean();
  values.clear();
  numbers_5.clear();
  numbers_2.clear();
  device_ids.clear();
  paths.clear();
  alarm_updates.clear();
  device_ids_14.clear();
}

}  // namespace cds
}  // namespace zu
