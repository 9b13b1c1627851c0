#pragma once
// A channel as the store keeps it. Most channels never get texts, units or
// multistate texts, so those stay behind a pointer that is empty until one is
// set, and the data type (fixed by the first value) is kept inline: a
// zu::CChannel always allocates its settings, which would cost every channel
// a few hundred bytes. Answers and stored rows get a zu::CChannel built on
// demand.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zu/CAlarm.h"
#include "zu/CBitset.h"
#include "zu/CChannel.h"
#include "zu/CDevice.h"
#include "zu/CValue.h"
#include "rare_list.h"

namespace cds {
namespace store {
namespace detail {

class StoredChannel {
 public:
  StoredChannel() = default;
  StoredChannel(const StoredChannel& other);
  StoredChannel& operator=(const StoredChannel& other);
  StoredChannel(StoredChannel&&) noexcept = default;
  StoredChannel& operator=(StoredChannel&&) noexcept = default;
  // Takes everything from a channel read back from a stored row.
  StoredChannel& operator=(const zu::CChannel& channel);

  std::uint64_t id() const { return id_; }
  void set_ids(std::uint64_t channel_id, std::uint64_t owner_device_id) {
    id_ = channel_id;
    device_id = owner_device_id;
  }

  // The settings as an answer carries them: id, data type, texts, multistate.
  zu::CChannelSettings settings() const;
  // Takes the texts and the multistate of `given`; the id and the data type stay.
  void set_texts(const zu::CChannelSettings& given);
  const zu::CMultistateMap& multistate() const;

  // A full record with settings of its own, for an answer or a stored row.
  zu::CChannel record() const;

  std::uint64_t device_id = zu::kNoId;
  std::string name;
  zu::CStateBits state;
  std::uint8_t data_type = zu::type_none;
  bool create_flag = false;  // as given when the channel was created
  RareList<zu::CAlarmTrigger> triggers;

 private:
  std::uint64_t id_ = zu::kNoId;
  std::unique_ptr<zu::CChannelSettings> texts_;  // null while no text and no multistate is set
};

}  // namespace detail
}  // namespace store
}  // namespace cds
