// The protobuf wire, read within bounds: every length and varint is checked against the end of
// the message it lies in before a byte is taken, and what the schema does not allow is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "columns_fields.hpp"

namespace columns {

// Bytes that are not what the schema says; what() is the reason, naming the byte.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Tag {
  std::uint32_t number;
  std::uint8_t wire;
  std::size_t at;   // where the field begins, from the start of the input
};

// The refusals, out of line: the reads below stay small enough to inline.
[[noreturn]] void refuse_varint(std::size_t end, bool longer);
[[noreturn]] void refuse_tag(std::uint64_t raw, std::size_t at);
[[noreturn]] void refuse_wire(const Tag& tag, const fields::Field& field, const char* message);
[[noreturn]] void refuse_length(std::size_t at, std::uint64_t length, std::size_t end);
[[noreturn]] void refuse_past(std::size_t end);

// The reads are the decoder's inner loop: inlined, their constant fields folded.
#define COLUMNS_HOT __attribute__((always_inline)) inline

class Reader {
 public:
  Reader(const std::uint8_t* origin, const std::uint8_t* at, const std::uint8_t* end)
      : origin_(origin), at_(at), end_(end) {}

  bool more() const { return at_ < end_; }
  std::size_t offset() const { return static_cast<std::size_t>(at_ - origin_); }
  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

  COLUMNS_HOT std::uint64_t varint() {
    if (at_ < end_ && *at_ < 0x80) return *at_++;
    std::uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
      if (at_ == end_) refuse_varint(pos(end_), false);
      const std::uint8_t byte = *at_++;
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (byte < 0x80) return value;
    }
    refuse_varint(pos(at_ - 10), true);
  }

  COLUMNS_HOT Tag tag() {
    const std::size_t at = offset();
    const std::uint64_t raw = varint();
    const auto wire = static_cast<std::uint8_t>(raw & 7);
    // Groups (3, 4) no writer of ours makes; 6 and 7 are no wire type at all.
    if ((raw >> 3) == 0 || (raw >> 3) > 0x1FFFFFFF || wire == 3 || wire == 4 || wire > 5) refuse_tag(raw, at);
    return {static_cast<std::uint32_t>(raw >> 3), wire, at};
  }

  // Whether the field at `tag` is `field`; a known number with another wire type is refused
  // (packed repeated scalars come length-delimited).
  COLUMNS_HOT bool is(const Tag& tag, const fields::Field& field, const char* message) const {
    if (tag.number != field.number) return false;
    if (tag.wire == field.wire || (field.repeated && tag.wire == 2 && field.wire != 2)) return true;
    refuse_wire(tag, field, message);
  }

  COLUMNS_HOT double fixed64() {
    double value;
    std::memcpy(&value, take(8), 8);
    return value;
  }

  // The length-delimited field next: its reader, this one moved past it.
  COLUMNS_HOT Reader sub() {
    const std::size_t at = offset();
    const std::uint64_t length = varint();
    if (length > left()) refuse_length(at, length, pos(end_));
    Reader inner(origin_, at_, at_ + length);
    at_ += length;
    return inner;
  }

  COLUMNS_HOT std::string_view bytes() {
    Reader inner = sub();
    return {reinterpret_cast<const char*>(inner.at_), inner.left()};
  }

  // The rest of the message, taken whole.
  const std::uint8_t* rest() {
    const std::uint8_t* from = at_;
    at_ = end_;
    return from;
  }

  COLUMNS_HOT void skip(std::uint8_t wire) {
    switch (wire) {
      case 0: varint(); break;
      case 1: take(8); break;
      case 5: take(4); break;
      default: sub(); break;
    }
  }

 private:
  COLUMNS_HOT const std::uint8_t* take(std::size_t n) {
    if (n > left()) refuse_past(pos(end_));
    const std::uint8_t* from = at_;
    at_ += n;
    return from;
  }

  std::size_t pos(const std::uint8_t* p) const { return static_cast<std::size_t>(p - origin_); }

  const std::uint8_t* origin_;
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace columns
