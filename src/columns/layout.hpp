// The export's layout written natively: messages gathered into MCAP chunks (their Message records and,
// per channel, their MessageIndex records), a product's parts each on its channel and the scene after
// what it moved. Compressing a chunk and writing the file's other records is the caller's.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scene.hpp"
#include "wire.hpp"

namespace columns::layout {

// A chunk's records, ended between products.
struct Chunk {
  std::string records;    // Message records, uncompressed
  std::string indexes;    // a MessageIndex record per channel, in the order of their first message
  std::vector<std::pair<std::uint16_t, std::uint64_t>> index_at;   // each one's offset in `indexes`
  std::uint64_t start = 0, end = 0, messages = 0;                  // log times, least and greatest

};

class Layout {
 public:
  // The channels of the parts (perception, decision, planner, controller) and of the scene; a chunk
  // ends once it holds `chunk_bytes`; the scene is written at most once in `scene_interval` (0: after
  // every product that moves something).
  Layout(std::array<std::uint16_t, 4> parts, std::uint16_t scene, std::size_t chunk_bytes,
         std::uint64_t scene_interval);

  // A record that is not a message (a schema, a channel), into the chunk.
  void record(std::string_view bytes) { chunk_.records.append(bytes); }
  void message(std::uint16_t channel, std::uint64_t time, std::uint32_t sequence, std::string_view data);
  // The scene as `drawing` has it now, written at `time`; the interval counts from here.
  void scene(scene::Drawing& drawing, std::uint64_t time, std::uint32_t sequence, bool clear);
  // A product's parts, each as the product holds it, then the scene if it moved something (`drawing`
  // may be null). False, and nothing written, when a part appears twice (their merge is the caller's,
  // who passes the parts' messages in `given` instead).
  bool product(Reader r, std::uint64_t time, std::uint32_t sequence, scene::Drawing* drawing,
               const std::vector<std::pair<std::uint16_t, std::string_view>>* given = nullptr);
  // Ends the chunk if it is full: only between products. Whether it did.
  bool between_products() {
    if (chunk_.records.size() < chunk_bytes_) return false;
    end_chunk();
    return true;
  }
  void end_chunk();

  // Messages to go between the products, each before the first product after it (by log time).
  struct Event {
    std::uint16_t channel;
    std::uint64_t time;
    std::uint32_t sequence;
    std::string data;
  };
  static constexpr std::uint64_t ALL = ~std::uint64_t{0};
  void events(std::vector<Event> events);
  // Those due before `time` (ALL: every one left).
  void events_before(std::uint64_t time);

  std::vector<Chunk> take() { return std::exchange(done_, {}); }

  // The file's statistics so far.
  std::uint64_t messages = 0, start = 0, end = 0;
  std::map<std::uint16_t, std::uint64_t> counts;

 private:
  std::array<std::uint16_t, 4> parts_;
  std::uint16_t scene_;
  std::size_t chunk_bytes_;
  std::uint64_t scene_interval_, scene_at_ = 0;
  Chunk chunk_;
  std::vector<std::pair<std::uint16_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>>> index_;
  std::vector<Chunk> done_;
  std::vector<Event> events_;
  std::size_t next_event_ = 0;
};

}  // namespace columns::layout
