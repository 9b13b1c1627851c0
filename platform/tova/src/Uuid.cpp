#include "tova/common/Uuid.h"

#include <cstring>
#include <ostream>
#include <random>
#include <stdexcept>

namespace tova {
namespace common {

// Constant-initialised (constexpr constructor), so it is usable from other
// translation units' static initialisers.
const Uuid Uuid::NIL{};

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

[[noreturn]] void rejectText(const std::string& text, const char* why) {
    // Quote short texts whole; a huge argument is described, not echoed.
    std::string shown = text.size() <= 64 ? "\"" + text + "\""
                                          : "of " + std::to_string(text.size()) + " characters";
    throw std::invalid_argument("Not a UUID: text " + shown + " (" + why + ")");
}

bool isDashPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

Uuid::Bytes parse(const std::string& text) {
    const bool canonical = text.size() == 36;
    if (!canonical && text.size() != 32) rejectText(text, "expected 32 hex digits or the 8-4-4-4-12 form");

    Uuid::Bytes bytes{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (canonical && isDashPosition(i)) {
            if (text[i] != '-') rejectText(text, "dash missing");
            continue;
        }
        const int v = hexValue(text[i]);
        if (v < 0) rejectText(text, "not a hex digit");
        bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
        ++nibble;
    }
    return bytes;
}

}  // namespace

Uuid::Uuid(const std::string& text) : bytes_(parse(text)) {}

Uuid::Uuid(const char* text) : bytes_{} {
    if (text == nullptr) throw std::invalid_argument("Not a UUID: null text");
    bytes_ = parse(std::string(text));
}

Uuid Uuid::fromBytes(const void* data, std::size_t size) {
    if (size != 16 || data == nullptr) {
        throw std::invalid_argument("A UUID is 16 bytes, got " + std::to_string(data == nullptr ? 0 : size));
    }
    Bytes bytes;
    std::memcpy(bytes.data(), data, bytes.size());
    return Uuid(bytes);
}

Uuid Uuid::generate() {
    // random_device reads the kernel's generator (or the CPU's), keeping no
    // user-space state that a fork() would duplicate. It is not guaranteed
    // thread-safe, hence one per thread.
    thread_local std::random_device source;
    Bytes bytes;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::uint32_t word = source();
        std::memcpy(bytes.data() + i, &word, 4);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return Uuid(bytes);
}

std::string Uuid::to_hex() const {
    std::string out;
    out.reserve(32);
    for (std::uint8_t b : bytes_) {
        out.push_back(kHexDigits[b >> 4]);
        out.push_back(kHexDigits[b & 0x0f]);
    }
    return out;
}

std::string Uuid::to_string() const {
    const std::string hex = to_hex();
    std::string out;
    out.reserve(36);
    out.append(hex, 0, 8).append(1, '-');
    out.append(hex, 8, 4).append(1, '-');
    out.append(hex, 12, 4).append(1, '-');
    out.append(hex, 16, 4).append(1, '-');
    out.append(hex, 20, 12);
    return out;
}

bool Uuid::isNil() const noexcept { return bytes_ == Bytes{}; }

std::ostream& operator<<(std::ostream& os, const Uuid& uuid) { return os << uuid.to_string(); }

}  // namespace common
}  // namespace tova

std::size_t std::hash<tova::common::Uuid>::operator()(const tova::common::Uuid& uuid) const noexcept {
    // FNV-1a over the bytes: cheap and well spread for both 32- and 64-bit size_t.
    std::uint64_t h = 14695981039346656037ull;
    for (std::uint8_t b : uuid.bytes()) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}
