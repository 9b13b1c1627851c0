#pragma once

#include <string>

namespace conv {

// The identification of one device. Plain record of ten texts; every field
// may be empty.
struct Identification {
    std::string uuid;
    std::string vendor;
    std::string partNumber;
    std::string serialNumber;
    std::string physicalName;
    std::string friendlyName;
    std::string interface;  // network address of the device
    std::string swVersion;
    std::string location;
    std::string contact;
};

inline bool operator==(const Identification& a, const Identification& b) {
    return a.uuid == b.uuid && a.vendor == b.vendor && a.partNumber == b.partNumber &&
           a.serialNumber == b.serialNumber && a.physicalName == b.physicalName &&
           a.friendlyName == b.friendlyName && a.interface == b.interface && a.swVersion == b.swVersion &&
           a.location == b.location && a.contact == b.contact;
}

inline bool operator!=(const Identification& a, const Identification& b) { return !(a == b); }

}  // namespace conv
