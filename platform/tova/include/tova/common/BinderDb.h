#pragma once

#include <string>
#include <vector>

#include "tova/common/Db.h"
#include "tova/common/Uuid.h"

namespace tova {
namespace common {

// One client bound to a binder: the client's UUID and the name of the
// interface it is bound through. The name is arbitrary bytes.
struct BinderClient {
    Uuid uuid;
    std::string interfaceName;
};

inline bool operator==(const BinderClient& a, const BinderClient& b) {
    return a.uuid == b.uuid && a.interfaceName == b.interfaceName;
}
inline bool operator!=(const BinderClient& a, const BinderClient& b) { return !(a == b); }

// Order is kept and duplicates are allowed: the list round-trips exactly.
using BinderClientsList = std::vector<BinderClient>;

// Abstract store of a binder's client list. The two static functions turn a
// list into two texts and back, for stores that keep texts.
//
// Text encoding (both texts are printable ASCII):
//  - UUIDs text: the clients' UUIDs in canonical lower-case form, joined by
//    ','. The empty list gives "".
//  - Interfaces text: the clients' interface names, in the same order, joined
//    by ','. In each name the bytes '%' and ',' and every byte outside
//    0x20..0x7E are written as '%' followed by two upper-case hex digits.
//    The empty list gives "", and so does a single client with an empty
//    name; the UUIDs text tells the two apart.
//
// Decoding takes the number of clients from the UUIDs text (none when it is
// empty) and requires the interfaces text to hold exactly that many names.
// UUIDs are accepted in either text form and any case; escapes in either
// hex case. Malformed input (a bad UUID, a count mismatch, a '%' not
// followed by two hex digits) throws std::invalid_argument and leaves the
// output list untouched.
class BinderDb : public Db {
public:
    explicit BinderDb(const Uuid& uuid);
    ~BinderDb() override;

    virtual void getClientsList(BinderClientsList& out) = 0;
    virtual void updateClientsList(const BinderClientsList& list) = 0;

    // Replaces the contents of `uuids` and `intfs`.
    static void serializeClientsList(const BinderClientsList& list, std::string& uuids, std::string& intfs);
    // Replaces the contents of `out` on success; see above for failures.
    static void deserializeClientList(const std::string& uuids, const std::string& intfs, BinderClientsList& out);
};

}  // namespace common
}  // namespace tova
