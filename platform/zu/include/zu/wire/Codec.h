#pragma once
// The codec of the data store's socket protocol, shared by the client
// transport and cdsd.
//
// A stream carries frames: a 4-byte big-endian payload length, then the
// payload, one serialized zu.wire.Envelope (proto/wire.proto). The payload of
// a frame is at most kMaxFrame bytes. The first frame of a session is a Hello,
// answered by a HelloAck; then every record travels in an Envelope with a
// correlation id that pairs a response with its request.
//
// Every field of every record class of zu/cds/Records.h is mapped both ways,
// except what cannot leave the process: the records' and times' format
// pointers (decoded as the default "%F %T"), the bitsets' text suppliers
// (decoded empty), and the callables of CAlarmUpdate's aux callbacks: only
// whether each is engaged and its tag are sent, and an engaged one decodes
// with an empty std::function.
//
// No function here throws: failures are reported as false or an empty
// pointer with a message in `*error`. All functions are reentrant; a
// FrameReader belongs to one reader at a time.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/arena.h>

#include "zu/cds/Records.h"

namespace zu {
namespace wire {

class Envelope;

// Largest payload of one frame, in bytes (the length prefix not counted).
constexpr std::uint32_t kMaxFrame = 4194304;
// Version spoken by this side; a peer must speak the same.
constexpr std::uint32_t kProtocolVersion = 1;
// Bytes of the length prefix.
constexpr std::size_t kFrameHeaderSize = 4;

// ---- records ------------------------------------------------------------

// Serializes `record` into an Envelope payload (not framed). Fails when the
// record is of no known class, holds text that the reused messages cannot
// carry (a device attribute or a document text that is not UTF-8, a document
// nested too deeply), or encodes to more than kMaxFrame bytes.
bool encode_record(const cds::CRequestResponse& record, std::uint64_t correlation, std::string* frame_payload,
                   std::string* error);

// encode_record, framed: the length prefix and then the payload, ready to send.
bool encode_record_frame(const cds::CRequestResponse& record, std::uint64_t correlation, std::string* frame,
                         std::string* error);

// Why a document cannot travel (a key or text that is not UTF-8, nesting deeper
// than the codec carries); empty when it can. The data store checks documents
// with it before keeping them, so that what it keeps can always be sent.
std::string document_problem(const proto::toolkitStruct& document);

// The record an Envelope carries, or an empty pointer with `*error` set when
// the Envelope carries none (a hello, an error, an unknown or missing body)
// or when a field does not fit its record (an out-of-range number, a value of
// no known type, a duplicate set entry).
std::shared_ptr<cds::CRequestResponse> decode_record(const Envelope& envelope, std::string* error);

// Parses a payload into `*envelope`. False with `*error` set for a payload
// over kMaxFrame or one that is not an Envelope.
bool parse_envelope(const std::string& payload, Envelope* envelope, std::string* error);

// An Envelope to parse one frame into, whose messages and texts are taken
// from one block of memory (in the object, the heap beyond) and freed
// together: a small frame then costs no allocation per field.
class ArenaEnvelope {
 public:
  ArenaEnvelope();
  ArenaEnvelope(const ArenaEnvelope&) = delete;
  ArenaEnvelope& operator=(const ArenaEnvelope&) = delete;
  Envelope* get() const { return envelope_; }
  Envelope& operator*() const { return *envelope_; }
  Envelope* operator->() const { return envelope_; }

 private:
  alignas(8) char block_[2048];
  google::protobuf::Arena arena_;
  Envelope* envelope_;
};

// parse_envelope and decode_record in one; `*correlation` receives the
// envelope's correlation id when the payload parses (may be null).
std::shared_ptr<cds::CRequestResponse> decode_record(const std::string& payload, std::uint64_t* correlation,
                                                     std::string* error);

// The record in `payload` read without parsing an Envelope, for the few
// records this side writes that way (a value's read, a value write, a
// notification of values) when the payload is in exactly that form;
// `*correlation` receives its correlation id. Null for any other payload:
// parse_envelope and decode_record read it.
std::shared_ptr<cds::CRequestResponse> decode_quick(const std::string& payload, std::uint64_t* correlation);

// ---- session opening and errors --------------------------------------------

struct HelloInfo {
  std::string client_name;
  std::uint32_t protocol_version = kProtocolVersion;
  bool handler = false;  // the session receives notifications
  bool answer_socket = false;  // the hello's message carries a socket for what the daemon sends
};

struct HelloAckInfo {
  bool accepted = false;
  std::string message;  // why the hello was refused
  std::uint32_t protocol_version = kProtocolVersion;
  bool answer_socket = false;  // the daemon sends on the hello's socket from now on
};

bool encode_hello(const HelloInfo& hello, std::uint64_t correlation, std::string* frame_payload,
                  std::string* error);
// Fills `*hello` from a Hello envelope. False with `*error` set when the
// envelope is no Hello, or when it speaks another protocol version; `*hello`
// is filled in that case too, so that the refusal can quote it.
bool decode_hello(const Envelope& envelope, HelloInfo* hello, std::string* error);

bool encode_hello_ack(const HelloAckInfo& ack, std::uint64_t correlation, std::string* frame_payload,
                      std::string* error);
// Fills `*ack` from a HelloAck envelope. False with `*error` set when the
// envelope is no HelloAck, the hello was refused, or the peer speaks another
// protocol version; `*ack` is filled whenever the envelope is a HelloAck.
bool decode_hello_ack(const Envelope& envelope, HelloAckInfo* ack, std::string* error);

// An Error envelope: the answer to a frame that cannot be answered with a
// record (status 4 too big, 5 invalid).
bool encode_error(std::uint32_t status, const std::string& message, std::uint64_t correlation,
                  std::string* frame_payload, std::string* error);

// The message of the protocol-version mismatch, as both sides word it.
std::string version_mismatch_text(std::uint32_t peer_version);

// ---- framing -------------------------------------------------------------------

// The frame of a payload: its length as 4 big-endian bytes, then the payload.
// Empty when the payload is larger than kMaxFrame (a frame is never empty).
std::string frame(const std::string& payload);

// Splits a byte stream into frame payloads, whatever the pieces it arrives in.
// A partial frame waits for more bytes. A length prefix over kMaxFrame puts
// the reader in a final error state (the stream cannot be resynchronised):
// nothing more is accepted and the claimed size is never allocated. Payloads
// already complete before the bad prefix can still be popped.
class FrameReader {
 public:
  // Appends bytes of the stream. False once the reader is in its error state.
  bool feed(const char* data, std::size_t size);
  bool feed(const std::string& bytes) { return feed(bytes.data(), bytes.size()); }

  // Moves the oldest complete payload into `*payload`; false when there is
  // none. Pass the same string each time: its memory serves a later frame.
  bool pop(std::string* payload);

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // Complete payloads waiting to be popped.
  std::size_t ready() const { return ready_.size(); }
  // Whether a frame has begun and not yet completed.
  bool partial() const { return header_fill_ > 0 || expecting_body_; }

 private:
  unsigned char header_[kFrameHeaderSize] = {};
  std::size_t header_fill_ = 0;
  bool expecting_body_ = false;
  std::uint32_t body_size_ = 0;
  static constexpr std::size_t kSpares = 4;
  static constexpr std::size_t kSpareCapacity = 4096;
  std::string body_;
  std::deque<std::string> ready_;
  std::vector<std::string> spare_;  // emptied payloads' memory, for the next bodies
  std::string error_;
};

}  // namespace wire
}  // namespace zu
