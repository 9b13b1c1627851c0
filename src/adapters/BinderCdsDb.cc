#include "cdsapi/BinderCdsDb.h"

#include <string>

#include "cdsapi/CdsAccessor.h"

namespace tova {

const char* const BinderCdsDb::kUuidsChannel = "Binder.ClientsList.Uuids";
const char* const BinderCdsDb::kIntfsChannel = "Binder.ClientsList.Intfs";

BinderCdsDb::BinderCdsDb(cdsapi::CdsAccessor& accessor, common::Db& parent, const common::Uuid& uuid,
                         unsigned long long deviceId)
    : common::BinderDb(uuid),
      accessor(accessor),
      parentDb(parent),
      uuidsChannelId(accessor.inbandAccessor().emplaceChannel(deviceId, kUuidsChannel, false)),
      intfsChannelId(accessor.inbandAccessor().emplaceChannel(deviceId, kIntfsChannel, false)) {}

BinderCdsDb::~BinderCdsDb() = default;

void BinderCdsDb::getClientsList(common::BinderClientsList& out) {
  const std::string uuids = accessor.inbandAccessor().getChannelCValue(uuidsChannelId).as_string();
  const std::string intfs = accessor.inbandAccessor().getChannelCValue(intfsChannelId).as_string();
  deserializeClientList(uuids, intfs, out);
}

void BinderCdsDb::updateClientsList(const common::BinderClientsList& list) {
  std::string uuids;
  std::string intfs;
  serializeClientsList(list, uuids, intfs);
  accessor.inbandAccessor().setChannelValue(uuidsChannelId, uuids);
  accessor.inbandAccessor().setChannelValue(intfsChannelId, intfs);
}

}  // namespace tova
