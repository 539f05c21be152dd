#include "schema.hpp"

#include <string>

#include "decode.hpp"

namespace columns::schema {

namespace {

// As deep as the protobuf runtime parses before it refuses.
constexpr int DEEPEST = 100;

const Known* known(const Message& m, std::uint32_t number) {
  for (std::size_t i = 0; i < m.count; ++i)
    if (m.fields[i].number == number) return &m.fields[i];
  return nullptr;
}

[[noreturn]] void unexpected(std::uint32_t number, const Message& m) {
  throw Refused("unexpected content in field " + std::to_string(number) + " of a " + m.name);
}

}  // namespace

bool newer(Reader r, int message, int depth) {
  if (depth > DEEPEST) throw Refused("messages nested more than " + std::to_string(DEEPEST) + " deep");
  const Message& m = MESSAGES[message];
  bool found = false;
  while (r.more()) {
    const Tag t = r.tag();
    const Known* field = known(m, t.number);
    if (field == nullptr) {
      if (m.entry) unexpected(t.number, m);   // an entry is a key and a value in any version
      found = true;
      r.skip(t.wire);
    } else if (t.wire == field->wire) {
      if (field->message >= 0) {
        found |= newer(r.sub(), field->message, depth + 1);
      } else if (field->text) {
        const std::size_t at = r.offset();
        if (!utf8(r.bytes())) throw Refused("the string at byte " + std::to_string(at) + " is not UTF-8");
      } else {
        r.skip(t.wire);
      }
    } else if (field->repeated && t.wire == 2 && field->message < 0 && field->wire != 2) {
      for (Reader packed = r.sub(); packed.more();) packed.skip(field->wire);   // whole values only
    } else {
      unexpected(t.number, m);
    }
  }
  return found;
}

std::vector<std::pair<std::size_t, std::size_t>> products_ahead(const std::uint8_t* begin, std::size_t size) {
  constexpr std::uint8_t PRODUCT = fields::Record::products.number << 3 | 2;
  static_assert(fields::Record::products.number < 16, "a product's tag is one byte");
  std::vector<std::pair<std::size_t, std::size_t>> found;
  std::size_t at = 0;
  while (at < size && begin[at] == PRODUCT) {
    std::uint64_t length = 0;
    std::size_t p = at + 1;
    int shift = 0;
    for (; p < size && shift < 64; shift += 7) {
      const std::uint8_t byte = begin[p++];
      length |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if (byte < 0x80) break;
    }
    if (p == at + 1 || (begin[p - 1] & 0x80) || length > size - p) break;   // not all here: the caller reads on
    found.emplace_back(p, p + length);
    at = p + length;
  }
  return found;
}

}  // namespace columns::schema
