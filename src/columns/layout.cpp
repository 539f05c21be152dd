// The export's layout written natively (see layout.hpp); MCAP's records are little-endian.
#include "layout.hpp"

#include <algorithm>
#include <cstring>

#include "decode.hpp"

namespace columns::layout {

namespace f = fields;

namespace {

enum Opcode : std::uint8_t { MESSAGE = 0x05, MESSAGE_INDEX = 0x07 };

template <typename T>
void put(std::string& out, T value) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

constexpr fields::Field PART_FIELDS[4] = {f::Product::perception, f::Product::decision, f::Product::planner,
                                          f::Product::controller};

}  // namespace

Layout::Layout(std::array<std::uint16_t, 4> parts, std::uint16_t scene, std::size_t chunk_bytes,
               std::uint64_t scene_interval)
    : parts_(parts), scene_(scene), chunk_bytes_(chunk_bytes), scene_interval_(scene_interval) {}

void Layout::message(std::uint16_t channel, std::uint64_t time, std::uint32_t sequence, std::string_view data) {
  // Room for a whole chunk at once: grown by doubling, its megabyte would be copied again and again.
  if (chunk_.records.capacity() < chunk_bytes_) chunk_.records.reserve(chunk_bytes_ + chunk_bytes_ / 8);
  if (chunk_.messages == 0 || time < chunk_.start) chunk_.start = time;
  chunk_.end = std::max(chunk_.end, time);
  if (messages == 0 || time < start) start = time;
  end = std::max(end, time);
  ++chunk_.messages, ++messages, ++counts[channel];
  auto index = std::find_if(index_.begin(), index_.end(), [&](const auto& each) { return each.first == channel; });
  if (index == index_.end()) index = index_.insert(index_.end(), {channel, {}});
  index->second.emplace_back(time, chunk_.records.size());
  std::string& out = chunk_.records;
  out.push_back(static_cast<char>(MESSAGE));
  put<std::uint64_t>(out, 2 + 4 + 8 + 8 + data.size());
  put(out, channel);
  put(out, sequence);
  put(out, time);
  put(out, time);     // published when logged
  out.append(data);
}

void Layout::scene(scene::Drawing& drawing, std::uint64_t time, std::uint32_t sequence, bool clear) {
  const scene::Time at{static_cast<std::int64_t>(time / 1000000000), static_cast<std::int64_t>(time % 1000000000)};
  // Drawn into the chunk in place, its record's length filled in once it is known.
  message(scene_, time, sequence, {});
  std::string& out = chunk_.records;
  const std::size_t length_at = out.size() - (2 + 4 + 8 + 8) - 8, data_at = out.size();
  drawing.update_into(out, at, clear);
  const std::uint64_t length = 2 + 4 + 8 + 8 + (out.size() - data_at);
  std::memcpy(&out[length_at], &length, 8);
  scene_at_ = time;
}

bool Layout::product(Reader r, std::uint64_t time, std::uint32_t sequence, scene::Drawing* drawing,
                     const std::vector<std::pair<std::uint16_t, std::string_view>>* given) {
  std::vector<std::pair<std::uint16_t, std::string_view>> found;
  if (given == nullptr) {
    std::string_view parts[4];
    bool seen[4] = {};
    for (Reader walk = r; walk.more();) {
      const Tag t = walk.tag();
      std::size_t k = 0;
      while (k < 4 && !walk.is(t, PART_FIELDS[k], "Product")) ++k;
      if (k == 4) {
        walk.skip(t.wire);
        continue;
      }
      if (seen[k]) return false;
      seen[k] = true;
      parts[k] = walk.bytes();
    }
    for (std::size_t k = 0; k < 4; ++k)
      if (seen[k]) found.emplace_back(parts_[k], parts[k]);
    given = &found;
  }
  // Applied before anything is written: a product refused leaves the file and the drawing as they were.
  if (drawing != nullptr) drawing->apply(r);
  for (const auto& [channel, data] : *given) message(channel, time, sequence, data);
  if (drawing != nullptr) {
    // A device's clock may run behind the one the record opened by: a stamp before the latest
    // scene restarts the interval rather than holding the scene back until then.
    const bool due = scene_interval_ == 0 || time < scene_at_ || time - scene_at_ >= scene_interval_;
    if (drawing->moved() && due) scene(*drawing, time, sequence, false);
  }
  return true;
}

void Layout::events(std::vector<Event> events) {
  events_ = std::move(events);
  next_event_ = 0;
}

void Layout::events_before(std::uint64_t time) {
  for (; next_event_ < events_.size() && (time == ALL || events_[next_event_].time < time); ++next_event_) {
    const Event& e = events_[next_event_];
    message(e.channel, e.time, e.sequence, e.data);
  }
}

void Layout::end_chunk() {
  if (chunk_.messages == 0) return;   // schemas and channels wait for the first message
  for (const auto& [channel, entries] : index_) {
    std::string& out = chunk_.indexes;
    chunk_.index_at.emplace_back(channel, out.size());
    out.push_back(static_cast<char>(MESSAGE_INDEX));
    put<std::uint64_t>(out, 2 + 4 + 16 * entries.size());
    put(out, channel);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(16 * entries.size()));
    for (const auto& [time, offset] : entries) put(out, time), put(out, offset);
  }
  index_.clear();
  done_.push_back(std::exchange(chunk_, {}));
}

}  // namespace columns::layout
