#include "stored_channel.h"

namespace cds {
namespace store {
namespace detail {

namespace {

bool has_texts(const zu::CChannelSettings& s) {
  return s.flags != 0 || !s.text1.empty() || !s.text2.empty() || !s.description.empty() || !s.units.empty() || !s.multistate.empty();
}

}  // namespace

StoredChannel::StoredChannel(const StoredChannel& other)
    : device_id(other.device_id),
      name(other.name),
      state(other.state),
      data_type(other.data_type),
      create_flag(other.create_flag),
      triggers(other.triggers),
      id_(other.id_),
      texts_(other.texts_ ? std::make_unique<zu::CChannelSettings>(*other.texts_) : nullptr) {}

StoredChannel& StoredChannel::operator=(const StoredChannel& other) {
  if (this != &other) *this = StoredChannel(other);
  return *this;
}

StoredChannel& StoredChannel::operator=(const zu::CChannel& channel) {
  const zu::CChannelSettings& s = *channel.settings();
  set_ids(s.id, channel.device_id);
  name = channel.name;
  state = channel.state;
  data_type = s.data_type;
  create_flag = channel.create_flag;
  triggers = channel.triggers;
  set_texts(s);
  return *this;
}

zu::CChannelSettings StoredChannel::settings() const {
  zu::CChannelSettings s = texts_ ? *texts_ : zu::CChannelSettings();
  s.id = id_;
  s.data_type = data_type;
  return s;
}

void StoredChannel::set_texts(const zu::CChannelSettings& given) {
  if (!has_texts(given)) {
    texts_.reset();
    return;
  }
  if (!texts_) texts_ = std::make_unique<zu::CChannelSettings>();
  texts_->flags = given.flags;
  texts_->text1 = given.text1;
  texts_->text2 = given.text2;
  texts_->description = given.description;
  texts_->units = given.units;
  texts_->multistate = given.multistate;
}

const zu::CMultistateMap& StoredChannel::multistate() const {
  static const zu::CMultistateMap none;
  return texts_ ? texts_->multistate : none;
}

zu::CChannel StoredChannel::record() const {
  zu::CChannel c;
  c.set_settings(std::make_shared<zu::CChannelSettings>(settings()));
  c.set_ids(id_, device_id);
  c.name = name;
  c.create_flag = create_flag;
  c.state = state;
  c.triggers = triggers;
  return c;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
