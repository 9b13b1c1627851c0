#pragma once
// A binder's client list kept in two string channels of a data store device.
#include "tova/common/BinderDb.h"
#include "tova/common/Db.h"
#include "tova/common/Uuid.h"

namespace cdsapi {
class CdsAccessor;
}

namespace tova {

// The list lives in the channels "Binder.ClientsList.Uuids" and
// "Binder.ClientsList.Intfs" of the device given to the constructor, as the
// two texts of common::BinderDb::serializeClientsList. The constructor finds
// them, or creates them when the device has none; stores on the same device
// share them, and they stay after the store is destroyed.
//
// Nothing is cached: every read asks the data store for both texts and every
// update writes both, as two requests without a transaction. A refused write
// is not reported. No lock: callers serialise updates of one device. The
// accessor and the parent store are not owned and must outlive this one.
class BinderCdsDb : public common::BinderDb {
 public:
  static const char* const kUuidsChannel;  // "Binder.ClientsList.Uuids"
  static const char* const kIntfsChannel;  // "Binder.ClientsList.Intfs"

  // Throws what InBandAccessor::emplaceChannel throws (an unknown device).
  BinderCdsDb(cdsapi::CdsAccessor& accessor, common::Db& parent, const common::Uuid& uuid,
              unsigned long long deviceId);
  ~BinderCdsDb() override;

  // Throws std::invalid_argument when a channel cannot be read, or the texts
  // cannot be decoded; `out` is then untouched.
  void getClientsList(common::BinderClientsList& out) override;
  void updateClientsList(const common::BinderClientsList& list) override;

 private:
  cdsapi::CdsAccessor& accessor;
  [[maybe_unused]] common::Db& parentDb;  // kept for the store's lifetime, not consulted
  unsigned long long uuidsChannelId;
  unsigned long long intfsChannelId;
};

}  // namespace tova
