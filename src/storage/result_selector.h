// Keeps the best `capacity` of a stream of scored slots in final order: better
// score first, equal scores in arrival order, scores that are not numbers last.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tarnwick {

struct ScoredSlot {
  float score;
  uint32_t seq;  // arrival order; decides between equal scores
};

class ResultSelector {
 public:
  ResultSelector(size_t capacity, bool larger_is_better)
      : capacity_(capacity), larger_is_better_(larger_is_better) {
    items_.reserve(capacity);
  }

  bool better(const ScoredSlot& a, const ScoredSlot& b) const {
    bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) {
      return larger_is_better_ ? a.score > b.score : a.score < b.score;
    }
    return a.seq < b.seq;
  }

  // True when an entry arriving now could enter the kept set.
  bool could_enter(float score, uint32_t seq) const {
    if (items_.size() < capacity_) return capacity_ > 0;
    return better(ScoredSlot{score, seq}, items_.front());
  }

  void offer(float score, uint32_t seq) {
    ScoredSlot candidate{score, seq};
    auto worse = [this](const ScoredSlot& a, const ScoredSlot& b) { return better(a, b); };
    if (items_.size() < capacity_) {
      items_.push_back(candidate);
      std::push_heap(items_.begin(), items_.end(), worse);  // front is the worst kept
    } else if (capacity_ > 0 && better(candidate, items_.front())) {
      std::pop_heap(items_.begin(), items_.end(), worse);
      items_.back() = candidate;
      std::push_heap(items_.begin(), items_.end(), worse);
    }
  }

  // The kept entries, best first.
  std::vector<ScoredSlot> take_sorted() {
    std::sort(items_.begin(), items_.end(),
              [this](const ScoredSlot& a, const ScoredSlot& b) { return better(a, b); });
    return std::move(items_);
  }

 private:
  size_t capacity_;
  bool larger_is_better_;
  std::vector<ScoredSlot> items_;
};

}  // namespace tarnwick
