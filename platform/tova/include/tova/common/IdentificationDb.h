#pragma once

#include "tova/common/Db.h"
#include "tova/common/Uuid.h"
#include "tova/conv/Identification.h"

namespace tova {
namespace common {

// Abstract store of one device's identification record. Implementations
// decide where the record lives and when the listener is told about it.
// No locking here: callers serialise use of one store across threads.
class IdentificationDb : public Db {
public:
    // Told when an implementation (re)loads or otherwise learns a new
    // identification. Called on the thread that caused the change.
    class Listener {
    public:
        virtual ~Listener();
        virtual void onIdentificationChanged(IdentificationDb& db, const conv::Identification& identification) = 0;
    };

    // The listener is not owned and may be null; it must outlive the store
    // or be unregistered first.
    explicit IdentificationDb(const Uuid& uuid, Listener* listener = nullptr);
    ~IdentificationDb() override;

    // Replaces any earlier listener; null unregisters.
    virtual void registerListener(Listener* listener);

    virtual void load(conv::Identification& out) const = 0;
    virtual void store(const conv::Identification& identification) = 0;
    virtual Uuid getManagerUuid() = 0;
    virtual Uuid getPowerDistributionUuid() = 0;

protected:
    // The registered listener, null when none.
    Listener* listener() const { return listener_; }

private:
    Listener* listener_;
};

}  // namespace common
}  // namespace tova
