#pragma once

#include "tova/common/Uuid.h"

namespace tova {
namespace common {

// Base of every persistent store: a store is identified by a UUID fixed at
// construction.
class Db {
public:
    explicit Db(const Uuid& uuid);
    virtual ~Db();

    // The UUID given at construction.
    virtual Uuid uuid() const;

private:
    Uuid uuid_;
};

}  // namespace common
}  // namespace tova
