// An MCAP chunk's messages, walked on the wire, and a product's bytes joined from its parts: the
// two steps that putting an MCAP file's products together repeats for every message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace columns::mcap {

// What a channel's messages are to the walk: 0 for a channel no record has declared yet;
// SKIPPED for one whose messages are of no use; any other value is handed on with each message.
inline constexpr std::int32_t UNDECLARED = 0;
inline constexpr std::int32_t SKIPPED = -1;

// Columns of the messages taken, and where the walk stopped: the end of the chunk, or the start
// of a record the caller reads itself (a schema or channel record, a message on a channel not
// declared yet, or bytes that do not make a whole record, whose damage the caller words).
struct Messages {
  std::vector<std::int32_t> kinds;
  std::vector<std::int64_t> sequences;
  std::vector<std::uint64_t> log_times;
  std::vector<std::int64_t> starts, ends;   // the message's data
  std::size_t stop = 0;
};

Messages messages(const std::uint8_t* data, std::size_t size, std::size_t from, const std::int32_t* kinds,
                  std::size_t channels);

// A serialized Product: its stamp, then each part (field number, message bytes) behind its field
// tag in field order, as protobuf writes one. A part's field number appears once.
void append_product(std::string& out, std::int64_t stamp, std::vector<std::pair<std::uint32_t, std::string_view>>& parts);

}  // namespace columns::mcap
