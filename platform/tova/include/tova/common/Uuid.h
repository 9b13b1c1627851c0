#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace tova {
namespace common {

// A 128-bit universally unique identifier with value semantics.
//
// Text forms accepted by the parsing constructors, in any letter case:
//   canonical  xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx  (36 characters)
//   compact    xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx      (32 characters)
// Anything else (empty, other lengths, non-hex digits, braces, spaces,
// dashes elsewhere) is rejected with std::invalid_argument.
//
// Uuid objects are immutable apart from assignment; distinct objects may be
// used from different threads freely. generate() is thread-safe.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil UUID (all 128 bits zero).
    static const Uuid NIL;

    constexpr Uuid() noexcept : bytes_{} {}
    explicit Uuid(const std::string& text);
    // A null pointer is rejected like any other invalid text.
    explicit Uuid(const char* text);
    explicit constexpr Uuid(const Bytes& bytes) noexcept : bytes_(bytes) {}

    // Builds a UUID from raw bytes in network order (byte 0 is the first
    // two hex digits of the text form). Throws std::invalid_argument unless
    // exactly 16 bytes are given.
    static Uuid fromBytes(const void* data, std::size_t size);

    // A random (version 4, RFC 4122 variant) UUID drawn from the operating
    // system's random source, so forked processes never repeat each other.
    static Uuid generate();

    const Bytes& bytes() const noexcept { return bytes_; }

    // Canonical form, lower case, 36 characters.
    std::string to_string() const;
    // The 32 hex digits without dashes, lower case.
    std::string to_hex() const;

    bool isNil() const noexcept;
    // The version nibble (4 for generate()); 0 for the nil UUID.
    int version() const noexcept { return bytes_[6] >> 4; }

    friend bool operator==(const Uuid& a, const Uuid& b) noexcept { return a.bytes_ == b.bytes_; }
    friend bool operator!=(const Uuid& a, const Uuid& b) noexcept { return a.bytes_ != b.bytes_; }
    // Orders as the 128-bit big-endian value, i.e. as the text forms sort.
    friend bool operator<(const Uuid& a, const Uuid& b) noexcept { return a.bytes_ < b.bytes_; }

private:
    Bytes bytes_;
};

// Writes the canonical form.
std::ostream& operator<<(std::ostream& os, const Uuid& uuid);

}  // namespace common
}  // namespace tova

namespace std {
template <>
struct hash<tova::common::Uuid> {
    std::size_t operator()(const tova::common::Uuid& uuid) const noexcept;
};
}  // namespace std
