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

class Reader {
 public:
  Reader(const std::uint8_t* origin, const std::uint8_t* at, const std::uint8_t* end)
      : origin_(origin), at_(at), end_(end) {}

  bool more() const { return at_ < end_; }
  std::size_t offset() const { return static_cast<std::size_t>(at_ - origin_); }

  std::uint64_t varint() {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
      if (at_ == end_) throw Refused("a varint runs past the end of its message at byte " + pos(end_));
      const std::uint8_t byte = *at_++;
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (byte < 0x80) return value;
    }
    throw Refused("a varint longer than 10 bytes at byte " + pos(at_ - 10));
  }

  Tag tag() {
    const std::size_t at = offset();
    const std::uint64_t raw = varint();
    const auto wire = static_cast<std::uint8_t>(raw & 7);
    if ((raw >> 3) == 0 || (raw >> 3) > 0x1FFFFFFF)
      throw Refused("a field numbered " + std::to_string(raw >> 3) + " at byte " + std::to_string(at));
    // Groups (3, 4) no writer of ours makes; 6 and 7 are no wire type at all.
    if (wire != 0 && wire != 1 && wire != 2 && wire != 5)
      throw Refused("wire type " + std::to_string(wire) + " at byte " + std::to_string(at));
    return {static_cast<std::uint32_t>(raw >> 3), wire, at};
  }

  // Whether the field at `tag` is `field`; a known number with another wire type is refused
  // (packed repeated scalars come length-delimited).
  bool is(const Tag& tag, const fields::Field& field, const char* message) const {
    if (tag.number != field.number) return false;
    if (tag.wire == field.wire || (field.repeated && tag.wire == 2 && field.wire != 2)) return true;
    throw Refused(std::string(message) + " field " + std::to_string(field.number) + " at byte " +
                  std::to_string(tag.at) + " has wire type " + std::to_string(tag.wire) + ", not " +
                  std::to_string(field.wire));
  }

  double fixed64() {
    const std::uint8_t* from = take(8);
    double value;
    std::memcpy(&value, from, 8);
    return value;
  }

  // The length-delimited field next: its reader, this one moved past it.
  Reader sub() {
    const std::size_t at = offset();
    const std::uint64_t length = varint();
    if (length > static_cast<std::uint64_t>(end_ - at_))
      throw Refused("the field at byte " + std::to_string(at) + " declares " + std::to_string(length) +
                    " bytes, past the end of its message at byte " + pos(end_));
    Reader inner(origin_, at_, at_ + length);
    at_ += length;
    return inner;
  }

  std::string_view bytes() {
    Reader inner = sub();
    return {reinterpret_cast<const char*>(inner.at_), static_cast<std::size_t>(inner.end_ - inner.at_)};
  }

  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

  void skip(std::uint8_t wire) {
    switch (wire) {
      case 0: varint(); break;
      case 1: take(8); break;
      case 5: take(4); break;
      default: sub(); break;
    }
  }

 private:
  const std::uint8_t* take(std::size_t n) {
    if (n > left()) throw Refused("a field runs past the end of its message at byte " + pos(end_));
    const std::uint8_t* from = at_;
    at_ += n;
    return from;
  }

  std::string pos(const std::uint8_t* p) const { return std::to_string(p - origin_); }

  const std::uint8_t* origin_;
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace columns
