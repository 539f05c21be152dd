#include "mcap.hpp"

#include <algorithm>
#include <cstring>

#include "columns_fields.hpp"

namespace columns::mcap {

namespace {

constexpr std::uint8_t MESSAGE = 0x05, CHANNEL = 0x04, SCHEMA = 0x03;
constexpr std::size_t HEAD = 9;          // opcode, length
constexpr std::size_t MESSAGE_HEAD = 22;  // channel, sequence, log time, publish time

template <class T>
T little(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);   // MCAP is little-endian, as is every machine we build for
  return value;
}

void varint(std::string& out, std::uint64_t value) {
  while (value > 0x7F) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

}  // namespace

Messages messages(const std::uint8_t* data, std::size_t size, std::size_t from, const std::int32_t* kinds,
                  std::size_t channels) {
  Messages m;
  std::size_t at = from;
  while (at < size) {
    if (size - at < HEAD) break;
    const std::uint8_t opcode = data[at];
    const std::uint64_t length = little<std::uint64_t>(data + at + 1);
    if (length > size - at - HEAD) break;
    const std::size_t body = at + HEAD, next = body + static_cast<std::size_t>(length);
    if (opcode == CHANNEL || opcode == SCHEMA) break;
    if (opcode == MESSAGE) {
      if (length < MESSAGE_HEAD) break;
      const std::uint16_t channel = little<std::uint16_t>(data + body);
      const std::int32_t kind = channel < channels ? kinds[channel] : UNDECLARED;
      if (kind == UNDECLARED) break;
      if (kind != SKIPPED) {
        m.kinds.push_back(kind);
        m.sequences.push_back(little<std::uint32_t>(data + body + 2));
        m.log_times.push_back(little<std::uint64_t>(data + body + 6));
        m.starts.push_back(static_cast<std::int64_t>(body + MESSAGE_HEAD));
        m.ends.push_back(static_cast<std::int64_t>(next));
      }
    }
    at = next;
  }
  m.stop = std::min(at, size);
  return m;
}

void append_product(std::string& out, std::int64_t stamp, std::vector<std::pair<std::uint32_t, std::string_view>>& parts) {
  if (stamp != 0) {   // proto3 leaves a zero out
    varint(out, std::uint64_t{fields::Product::timestamp_ns.number} << 3);
    varint(out, static_cast<std::uint64_t>(stamp));   // a negative one as its two's complement
  }
  if (parts.size() > 1)
    std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [number, bytes] : parts) {
    varint(out, std::uint64_t{number} << 3 | 2);
    varint(out, bytes.size());
    out.append(bytes);
  }
}

}  // namespace columns::mcap
