// One connection's byte stream read as cdsd reads it: frames in whatever
// pieces they arrive, the hello first, then one request record per frame.
// A record that decodes must encode again and decode to the same class; one
// read the quick way must be the one the general way reads, and come in the
// very bytes both ways (and protobuf) write for it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zu/proto/wire.pb.h"
#include "zu/wire/Codec.h"

namespace wire = zu::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wire::FrameReader frames;
  std::string payload, error;
  bool greeted = false;
  // Pieces of 1 to 16 bytes: frame boundaries fall anywhere in a piece.
  for (std::size_t at = 0, piece = 1; at < size && !frames.failed(); at += piece, piece = piece % 16 + 1) {
    const std::size_t n = piece < size - at ? piece : size - at;
    frames.feed(reinterpret_cast<const char*>(data) + at, n);
    while (frames.pop(&payload)) {
      std::uint64_t quick_correlation = 0;
      if (auto quick = wire::decode_quick(payload, &quick_correlation)) {
        wire::Envelope read;
        if (!wire::parse_envelope(payload, &read, &error)) std::abort();
        const std::uint64_t correlation = read.correlation_id();
        auto general = wire::decode_record(read, &error);
        std::string quick_bytes, general_bytes;
        if (!general || correlation != quick_correlation ||
            !wire::encode_record(*quick, correlation, &quick_bytes, &error) ||
            !wire::encode_record(*general, correlation, &general_bytes, &error) || quick_bytes != payload ||
            general_bytes != payload || read.SerializeAsString() != payload)
          std::abort();
      }
      wire::Envelope envelope;
      if (!wire::parse_envelope(payload, &envelope, &error)) {
        if (!greeted) return 0;  // a bad hello closes the connection
        continue;
      }
      if (!greeted) {
        wire::HelloInfo hello;
        if (!wire::decode_hello(envelope, &hello, &error)) return 0;
        greeted = true;
        continue;
      }
      auto record = wire::decode_record(envelope, &error);
      if (!record) continue;
      std::string again;
      if (!wire::encode_record(*record, envelope.correlation_id(), &again, &error)) continue;
      auto back = wire::decode_record(again, nullptr, &error);
      if (!back || std::string(back->class_name()) != record->class_name()) std::abort();
    }
  }
  return 0;
}
