// Keeping the payload indexes in step with the records, and rebuilding them.
#include "table/payload_index.h"

#include <atomic>

#include <algorithm>
#include <bit>
#include <string_view>

namespace tarnwick {

namespace {

// The list an entry's value belongs in, created empty when missing (may throw).
PostingList& list_for(KeyPostings& postings, const PayloadValue& value) {
  IndexNumber number;
  if (value.is_text()) {
    const std::string_view text = value.text;
    auto it = postings.texts.lower_bound(text);
    if (it == postings.texts.end() || it->first.bytes != text) {
      it = postings.texts.emplace_hint(it, IndexText{text}, PostingList());
    }
    return it->second;
  }
  if (index_number_of(value, number)) return postings.numbers.try_emplace(number).first->second;
  return postings.nans;
}

// The list holding an indexed entry's value (it exists).
PostingList& held_list(KeyPostings& postings, const PayloadValue& value) noexcept {
  IndexNumber number;
  if (value.is_text()) return postings.texts.find(value.text)->second;
  if (index_number_of(value, number)) return postings.numbers.find(number)->second;
  return postings.nans;
}

// Drops the list of a value no record holds any more.
void erase_if_empty(KeyPostings& postings, const PayloadValue& value) noexcept {
  IndexNumber number;
  if (value.is_text()) {
    auto it = postings.texts.find(value.text);
    if (it != postings.texts.end() && it->second.empty()) postings.texts.erase(it);
  } else if (index_number_of(value, number)) {
    auto it = postings.numbers.find(number);
    if (it != postings.numbers.end() && it->second.empty()) postings.numbers.erase(it);
  }
}

void count_entry(KeyPostings& postings, const PayloadValue& value, int step) {
  postings.slots += step;
  IndexNumber number;
  if (value.is_text()) {
    postings.text_slots += step;
  } else if (index_number_of(value, number)) {
    postings.number_slots += step;
  }
}

size_t entry_index(const Payload& payload, std::string_view key) {
  auto it = std::lower_bound(payload.entries.begin(), payload.entries.end(), key,
                             [](const PayloadEntry& entry, std::string_view k) { return entry.key < k; });
  return static_cast<size_t>(it - payload.entries.begin());
}

// A text list whose value was read in a payload that leaves it is pointed at
// the value of a slot still on the list (an empty list is dropped after).
void move_text_views_off(PayloadIndex& index, const Payload& leaving) noexcept {
  for (const PayloadEntry& entry : leaving.entries) {
    if (!entry.value.is_text()) continue;
    KeyPostings& postings = index.keys[index.key_codes.find(entry.key)->second];
    auto it = postings.texts.find(std::string_view(entry.value.text));
    if (it == postings.texts.end() || it->second.empty() || it->first.bytes.data() != entry.value.text.data()) {
      continue;
    }
    const Payload& holder = *index.slots[it->second[0]].payload;
    it->first.bytes = holder.entries[entry_index(holder, entry.key)].value.text;
  }
}

// Removes the entries of every empty list the payload's values name, and
// forgets the keys it names that no record holds any more.
void erase_empty_lists(PayloadIndex& index, const Payload& payload) noexcept {
  for (const PayloadEntry& entry : payload.entries) {
    auto code = index.key_codes.find(entry.key);
    if (code == index.key_codes.end()) continue;
    KeyPostings& postings = index.keys[code->second];
    erase_if_empty(postings, entry.value);
    if (postings.slots != 0) continue;
    postings.nans = PostingList();
    index.free_key_codes.push_back(code->second);  // within the room kept for every code
    index.key_codes.erase(code);
  }
}

// The code of a key no record holds yet: a freed one, or a new one with
// empty postings. May throw; nothing has changed then.
uint32_t new_key_code(PayloadIndex& index, const std::string& key) {
  if (!index.free_key_codes.empty()) {
    const uint32_t code = index.free_key_codes.back();
    index.key_codes.emplace(key, code);  // a throw leaves the code free
    index.free_key_codes.pop_back();
    return code;
  }
  const uint32_t code = static_cast<uint32_t>(index.keys.size());
  if (index.free_key_codes.capacity() < index.keys.size() + 1) {
    index.free_key_codes.reserve(std::max<size_t>(16, 2 * (index.keys.size() + 1)));
  }
  // The postings first: if the code cannot be added, dropping them leaves
  // both as they were.
  index.keys.emplace_back();
  try {
    index.key_codes.emplace(key, code);
  } catch (...) {
    index.keys.pop_back();
    throw;
  }
  return code;
}

}  // namespace

uint32_t find_index_key(const PayloadIndex& index, std::string_view key) {
  auto it = index.key_codes.find(key);
  return it == index.key_codes.end() ? UINT32_MAX : it->second;
}

const PostingList* find_postings(const KeyPostings& postings, const PayloadValue& value) {
  IndexNumber number;
  if (value.is_text()) {
    auto it = postings.texts.find(value.text);
    return it == postings.texts.end() ? nullptr : &it->second;
  }
  if (index_number_of(value, number)) {
    auto it = postings.numbers.find(number);
    return it == postings.numbers.end() ? nullptr : &it->second;
  }
  return &postings.nans;
}

IndexRoom reserve_index_room(PayloadIndex& index, uint32_t slot, const Payload* payload) {
  IndexRoom room;
  if (payload == nullptr || payload->entries.empty()) return room;
  if (index.slots.size() <= slot) index.slots.resize(size_t{slot} + 1);
  try {
    if (payload->entries.size() > 2) room.positions = std::make_unique<uint32_t[]>(payload->entries.size());
    for (const PayloadEntry& entry : payload->entries) {
      auto code = index.key_codes.find(entry.key);
      const uint32_t key_code = code != index.key_codes.end() ? code->second : new_key_code(index, entry.key);
      PostingList& list = list_for(index.keys[key_code], entry.value);
      if (list.size() == list.capacity()) list.reserve(list.empty() ? 1 : list.size() * 2);
    }
  } catch (...) {
    // Lists and keys made for this payload may be left empty; neither is kept.
    erase_empty_lists(index, *payload);
    throw;
  }
  return room;
}

void unindex_slot(PayloadIndex& index, uint32_t slot) noexcept {
  reindex_slot(index, slot, nullptr, IndexRoom{});
}

uint64_t next_index_generation() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

void reindex_slot(PayloadIndex& index, uint32_t slot, const Payload* payload, IndexRoom room) noexcept {
  index.generation = next_index_generation();
  // The earlier payload's lists are emptied before the new entries join, but
  // only dropped after: a list that loses and regains this slot keeps the
  // room reserve_index_room made in it.
  const Payload* earlier = slot < index.slots.size() ? index.slots[slot].payload : nullptr;
  if (earlier != nullptr) {
    IndexedSlot& indexed = index.slots[slot];
    for (size_t e = 0; e < earlier->entries.size(); ++e) {
      const PayloadEntry& entry = earlier->entries[e];
      KeyPostings& postings = index.keys[index.key_codes.find(entry.key)->second];
      PostingList& list = held_list(postings, entry.value);
      const uint32_t position = indexed.positions()[e];
      const uint32_t last = list.back();
      list[position] = last;
      IndexedSlot& moved = index.slots[last];
      moved.positions()[entry_index(*moved.payload, entry.key)] = position;
      list.pop_back();
      count_entry(postings, entry.value, -1);
    }
    indexed = IndexedSlot{};
  }
  if (payload != nullptr && !payload->entries.empty()) {
    IndexedSlot& indexed = index.slots[slot];
    indexed.payload = payload;
    indexed.positions_apart = std::move(room.positions);
    for (size_t e = 0; e < payload->entries.size(); ++e) {
      const PayloadEntry& entry = payload->entries[e];
      KeyPostings& postings = index.keys[index.key_codes.find(entry.key)->second];
      PostingList& list = held_list(postings, entry.value);
      indexed.positions()[e] = static_cast<uint32_t>(list.size());
      list.push_back(slot);  // within the reserved room
      count_entry(postings, entry.value, +1);
    }
  }
  if (earlier != nullptr) {
    move_text_views_off(index, *earlier);
    erase_empty_lists(index, *earlier);
  }
}

namespace {

// An entry met while building: the slot holding it and its place in the
// slot's payload.
struct HeldEntry {
  uint32_t slot;
  uint32_t entry;
};

// Fills one key's postings from its entries, gathered in slot order: entries
// grouped by value (texts by a hash of their bytes, numbers sorted), each
// list made once at its final size in slot order, as one insertion after
// another would make it, and appended to its map in value order.
void fill_postings(KeyPostings& postings, std::span<const Payload* const> payloads,
                   std::vector<IndexedSlot>& slots, const std::vector<HeldEntry>& held) {
  auto place = [&](PostingList& list, const HeldEntry& h) {
    slots[h.slot].positions()[h.entry] = static_cast<uint32_t>(list.size());
    list.push_back(h.slot);
  };
  struct HeldNumber {
    IndexNumber number;
    uint32_t at;  // into `held`, which is in slot order
  };
  std::vector<HeldNumber> numbers;
  std::vector<uint32_t> text_places, nans;  // places in `held`
  for (uint32_t at = 0; at < held.size(); ++at) {
    const PayloadValue& value = payloads[held[at].slot]->entries[held[at].entry].value;
    IndexNumber number;
    if (value.is_text()) {
      text_places.push_back(at);
    } else if (index_number_of(value, number)) {
      numbers.push_back({number, at});
    } else {
      nans.push_back(at);
    }
  }
  auto text_at = [&](uint32_t at) -> std::string_view {
    return payloads[held[at].slot]->entries[held[at].entry].value.text;
  };
  // Texts are grouped by value in one open-addressed table of group numbers
  // (seeded, so crafted texts cannot pile up in one run of it): flat arrays
  // only, so that no allocation per value is left behind.
  struct TextGroup {
    std::string_view text;
    uint32_t count = 0;
    uint32_t first = 0;  // into `grouped`
  };
  std::vector<TextGroup> groups;
  std::vector<uint32_t> group_of(text_places.size());
  {
    const SeededTextHash hash;
    const size_t table_size = std::bit_ceil(std::max<size_t>(2 * text_places.size(), 2));
    std::vector<uint32_t> table(table_size, UINT32_MAX);
    for (size_t k = 0; k < text_places.size(); ++k) {
      const std::string_view text = text_at(text_places[k]);
      size_t probe = hash(text) & (table_size - 1);
      while (table[probe] != UINT32_MAX && groups[table[probe]].text != text) {
        probe = (probe + 1) & (table_size - 1);
      }
      if (table[probe] == UINT32_MAX) {
        table[probe] = static_cast<uint32_t>(groups.size());
        groups.push_back({text, 0, 0});
      }
      group_of[k] = table[probe];
      ++groups[table[probe]].count;
    }
  }
  // Places in `held` by group, each group's in slot order: every group's end
  // is found first, then each place is put just before its group's end, the
  // last place first.
  std::vector<uint32_t> grouped(text_places.size());
  uint32_t end = 0;
  for (TextGroup& group : groups) group.first = end += group.count;
  for (size_t k = text_places.size(); k-- > 0;) grouped[--groups[group_of[k]].first] = text_places[k];
  std::vector<uint32_t> group_order(groups.size());
  for (uint32_t g = 0; g < groups.size(); ++g) group_order[g] = g;
  std::sort(group_order.begin(), group_order.end(),
            [&](uint32_t a, uint32_t b) { return groups[a].text < groups[b].text; });
  for (uint32_t g : group_order) {
    const TextGroup& group = groups[g];
    PostingList& list =
        postings.texts.emplace_hint(postings.texts.end(), IndexText{group.text}, PostingList())->second;
    list.reserve(group.count);
    for (uint32_t k = group.first; k < group.first + group.count; ++k) place(list, held[grouped[k]]);
    postings.text_slots += group.count;
  }
  std::sort(numbers.begin(), numbers.end(), [](const HeldNumber& a, const HeldNumber& b) {
    const int order = compare_numbers(a.number, b.number);
    return order != 0 ? order < 0 : a.at < b.at;
  });
  for (size_t i = 0; i < numbers.size();) {
    size_t end = i + 1;
    while (end < numbers.size() && compare_numbers(numbers[end].number, numbers[i].number) == 0) ++end;
    // Numbers equal as numbers share the list of the first one met.
    PostingList& list =
        postings.numbers.emplace_hint(postings.numbers.end(), numbers[i].number, PostingList())->second;
    list.reserve(end - i);
    for (size_t k = i; k < end; ++k) place(list, held[numbers[k].at]);
    postings.number_slots += end - i;
    i = end;
  }
  postings.nans.reserve(nans.size());
  for (uint32_t at : nans) place(postings.nans, held[at]);
  postings.slots += held.size();
}

}  // namespace

PayloadIndex build_payload_index(std::span<const Payload* const> payloads) {
  PayloadIndex index;
  // Up to the last slot with a payload entry: the slots past it are unindexed.
  size_t indexed_slots = payloads.size();
  while (indexed_slots > 0 && (payloads[indexed_slots - 1] == nullptr || payloads[indexed_slots - 1]->entries.empty())) {
    --indexed_slots;
  }
  index.slots.resize(indexed_slots);
  // Every entry, by key. Payloads mostly repeat the keys of the one before in
  // the same order, so each key is first compared with the previous
  // payload's key at its place before it is looked up.
  std::vector<std::vector<HeldEntry>> by_key;
  const Payload* previous = nullptr;
  std::vector<uint32_t> previous_codes;
  for (uint32_t slot = 0; slot < indexed_slots; ++slot) {
    const Payload* payload = payloads[slot];
    if (payload == nullptr || payload->entries.empty()) continue;
    IndexedSlot& indexed = index.slots[slot];
    indexed.payload = payload;
    const size_t count = payload->entries.size();
    if (count > 2) indexed.positions_apart = std::make_unique<uint32_t[]>(count);
    if (previous_codes.size() < count) previous_codes.resize(count);
    for (size_t e = 0; e < count; ++e) {
      const std::string& key = payload->entries[e].key;
      uint32_t code;
      if (previous != nullptr && e < previous->entries.size() && previous->entries[e].key == key) {
        code = previous_codes[e];
      } else {
        auto found = index.key_codes.find(key);
        if (found == index.key_codes.end()) {
          index.keys.emplace_back();
          by_key.emplace_back();
          found = index.key_codes.emplace(key, static_cast<uint32_t>(index.keys.size() - 1)).first;
        }
        code = found->second;
      }
      previous_codes[e] = code;
      by_key[code].push_back({slot, static_cast<uint32_t>(e)});
    }
    previous = payload;
  }
  for (size_t code = 0; code < by_key.size(); ++code) {
    fill_postings(index.keys[code], payloads, index.slots, by_key[code]);
    std::vector<HeldEntry>().swap(by_key[code]);
  }
  index.free_key_codes.reserve(index.keys.size());
  return index;
}

std::string check_payload_index(const PayloadIndex& index, std::span<const Payload* const> payloads) {
  if (index.key_codes.size() + index.free_key_codes.size() != index.keys.size()) {
    return "a payload key code without postings";
  }
  if (index.free_key_codes.capacity() < index.keys.size()) return "no room to free every key code";
  for (uint32_t code : index.free_key_codes) {
    const KeyPostings& postings = index.keys[code];
    if (postings.slots != 0 || !postings.texts.empty() || !postings.numbers.empty() ||
        postings.nans.capacity() > 2) {
      return "a freed key code keeps postings";
    }
  }
  std::vector<size_t> entries_by_key(index.keys.size(), 0);
  for (uint32_t slot = 0; slot < std::max(payloads.size(), index.slots.size()); ++slot) {
    const Payload* payload = slot < payloads.size() ? payloads[slot] : nullptr;
    if (payload != nullptr && payload->entries.empty()) payload = nullptr;
    const IndexedSlot* indexed = slot < index.slots.size() ? &index.slots[slot] : nullptr;
    if ((indexed ? indexed->payload : nullptr) != payload) return "a slot's indexed payload is not its own";
    if (payload == nullptr) continue;
    for (size_t e = 0; e < payload->entries.size(); ++e) {
      const PayloadEntry& entry = payload->entries[e];
      const uint32_t code = find_index_key(index, entry.key);
      if (code == UINT32_MAX) return "a payload key is not indexed";
      const PostingList* list = find_postings(index.keys[code], entry.value);
      const uint32_t position = indexed->positions()[e];
      if (list == nullptr || position >= list->size() || (*list)[position] != slot) {
        return "a payload entry is not where its posting list says";
      }
      ++entries_by_key[code];
    }
  }
  std::vector<std::string_view> key_names(index.keys.size());
  for (const auto& [name, code] : index.key_codes) {
    if (index.keys[code].slots == 0) return "a key no record holds is kept";
    key_names[code] = name;
  }
  // A text list's value is read in the payload of one of its slots.
  auto read_in_a_holder = [&](const IndexText& text, const PostingList& list, std::string_view key) {
    for (uint32_t slot : list) {
      const PayloadValue* value = find_value(*index.slots[slot].payload, key);
      if (value != nullptr && value->text.data() == text.bytes.data() && value->text.size() == text.bytes.size()) return true;
    }
    return false;
  };
  for (size_t code = 0; code < index.keys.size(); ++code) {
    const KeyPostings& postings = index.keys[code];
    size_t texts = 0, numbers = 0;
    for (const auto& [text, list] : postings.texts) {
      if (list.empty()) return "an empty posting list is kept";
      if (!read_in_a_holder(text, list, key_names[code])) return "a text list's value is read outside its slots' payloads";
      texts += list.size();
    }
    for (const auto& [number, list] : postings.numbers) {
      if (list.empty()) return "an empty posting list is kept";
      numbers += list.size();
    }
    if (texts != postings.text_slots || numbers != postings.number_slots ||
        texts + numbers + postings.nans.size() != postings.slots || postings.slots != entries_by_key[code]) {
      return "a payload key's counts do not match its posting lists";
    }
  }
  return {};
}

}  // namespace tarnwick
