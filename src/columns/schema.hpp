// A whole message checked against the schema, every field at every depth: what a newer writer
// added is found (and kept by whoever copies the bytes); what no writer makes is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "wire.hpp"

namespace columns::schema {

// Whether the message MESSAGES[message] in `r` holds fields this version does not know. Refuses
// a known number with another wire type, a string that is not UTF-8, nesting past 100 deep.
bool newer(Reader r, int message, int depth = 0);

// The products that follow one another from the start of a Record's fields in [begin, end):
// (start, end) of each product's bytes, stopping at the first field that is not a whole product.
std::vector<std::pair<std::size_t, std::size_t>> products_ahead(const std::uint8_t* begin, std::size_t size);

}  // namespace columns::schema
