#include "tova/common/BinderDb.h"

#include <stdexcept>

namespace tova {
namespace common {

namespace {

constexpr char kSeparator = ',';
constexpr char kUpperHex[] = "0123456789ABCDEF";

bool needsEscape(unsigned char c) { return c == '%' || c == kSeparator || c < 0x20 || c > 0x7e; }

void appendEscaped(std::string& out, const std::string& name) {
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (needsEscape(c)) {
            out.push_back('%');
            out.push_back(kUpperHex[c >> 4]);
            out.push_back(kUpperHex[c & 0x0f]);
        } else {
            out.push_back(ch);
        }
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string& field, std::size_t index) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out.push_back(field[i]);
            continue;
        }
        const int hi = i + 1 < field.size() ? hexValue(field[i + 1]) : -1;
        const int lo = i + 2 < field.size() ? hexValue(field[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
            throw std::invalid_argument("Binder client list: bad escape at offset " + std::to_string(i) +
                                        " of interface name " + std::to_string(index));
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

// Splits on the separator; "" gives no fields, "a," gives two.
std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(kSeparator, start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return fields;
}

}  // namespace

BinderDb::BinderDb(const Uuid& uuid) : Db(uuid) {}

BinderDb::~BinderDb() = default;

void BinderDb::serializeClientsList(const BinderClientsList& list, std::string& uuids, std::string& intfs) {
    std::string u;
    std::string n;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != 0) {
            u.push_back(kSeparator);
            n.push_back(kSeparator);
        }
        u += list[i].uuid.to_string();
        appendEscaped(n, list[i].interfaceName);
    }
    uuids.swap(u);
    intfs.swap(n);
}

void BinderDb::deserializeClientList(const std::string& uuids, const std::string& intfs, BinderClientsList& out) {
    const std::vector<std::string> uuidFields = split(uuids);
    std::vector<std::string> nameFields = split(intfs);
    // One client with an empty name serialises its names as "".
    if (uuidFields.size() == 1 && nameFields.empty()) nameFields.emplace_back();
    if (uuidFields.size() != nameFields.size()) {
        throw std::invalid_argument("Binder client list: " + std::to_string(uuidFields.size()) + " UUIDs but " +
                                    std::to_string(nameFields.size()) + " interface names");
    }

    BinderClientsList parsed;
    parsed.reserve(uuidFields.size());
    for (std::size_t i = 0; i < uuidFields.size(); ++i) {
        parsed.push_back(BinderClient{Uuid(uuidFields[i]), unescape(nameFields[i], i)});
    }
    out.swap(parsed);
}

}  // namespace common
}  // namespace tova
