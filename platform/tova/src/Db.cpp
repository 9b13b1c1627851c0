#include "tova/common/Db.h"

#include "tova/common/IdentificationDb.h"

namespace tova {
namespace common {

Db::Db(const Uuid& uuid) : uuid_(uuid) {}

Db::~Db() = default;

Uuid Db::uuid() const { return uuid_; }

IdentificationDb::Listener::~Listener() = default;

IdentificationDb::IdentificationDb(const Uuid& uuid, Listener* listener) : Db(uuid), listener_(listener) {}

IdentificationDb::~IdentificationDb() = default;

void IdentificationDb::registerListener(Listener* listener) { listener_ = listener; }

}  // namespace common
}  // namespace tova
