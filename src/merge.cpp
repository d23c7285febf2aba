#include "merge.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "bytes.h"
#include "records.h"

namespace orx {

namespace {

constexpr size_t kTsOffset = offsetof(RecordHeader, ts_event);
constexpr size_t kHeader = size_t{kMinRecordLength} * 4;

uint64_t ts_at(const uint8_t* record) { return load_le<uint64_t>(record + kTsOffset); }

Error short_record(uint64_t index, size_t length) {
  return Error::decode("record " + std::to_string(index) + " is " + std::to_string(length) +
                       " bytes long, shorter than a record header (" + std::to_string(kHeader) +
                       " bytes)");
}

}  // namespace

RecordMerge::RecordMerge(size_t inputs) : inputs_(inputs) {
  waiting_.reserve(inputs);
  for (size_t i = 0; i < inputs; ++i) waiting_.push_back(i);
  heap_.reserve(inputs);
}

uint64_t RecordMerge::head_ts(size_t i) const {
  const Input& in = inputs_[i];
  return ts_at(in.buf.data() + in.pos);
}

bool RecordMerge::before(size_t a, size_t b) const {
  const uint64_t ta = head_ts(a), tb = head_ts(b);
  return ta < tb || (ta == tb && a < b);
}

Status RecordMerge::push(size_t input, std::span<const uint8_t> bytes) {
  if (failed_) return Error::decode("the merge already failed");
  if (input >= inputs_.size()) return Error::decode("no input " + std::to_string(input));
  Input& in = inputs_[input];
  if (in.finished) return Error::decode("input " + std::to_string(input) + " was finished");
  // Merged records are dropped first, so the buffer holds only what is pending.
  if (in.pos) {
    in.buf.erase(in.buf.begin(), in.buf.begin() + static_cast<std::ptrdiff_t>(in.pos));
    in.whole -= in.pos;
    in.pos = 0;
  }
  in.buf.insert(in.buf.end(), bytes.begin(), bytes.end());
  const uint8_t* data = in.buf.data();
  const size_t size = in.buf.size();
  size_t at = in.whole;
  while (size - at >= 1) {
    const size_t length = size_t{data[at]} * 4;
    if (length < kHeader) {
      failed_ = true;
      return short_record(in.count, length);
    }
    if (size - at < length) break;
    const uint64_t ts = ts_at(data + at);
    if (in.count && ts < in.last_ts) {
      failed_ = true;
      return Error::decode("record " + std::to_string(in.count) + " (ts_event " +
                           std::to_string(ts) + ") comes before the record ahead of it (ts_event " +
                           std::to_string(in.last_ts) + "): the input is not sorted by ts_event");
    }
    in.last_ts = ts;
    ++in.count;
    at += length;
  }
  const bool had = in.pos < in.whole;
  in.whole = at;
  if (!had && in.pos < in.whole) {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), input));
    heap_.push_back(input);
    std::push_heap(heap_.begin(), heap_.end(), [&](size_t a, size_t b) { return before(b, a); });
  }
  return {};
}

Status RecordMerge::finish(size_t input) {
  if (input >= inputs_.size()) return Error::decode("no input " + std::to_string(input));
  Input& in = inputs_[input];
  in.finished = true;
  if (in.whole != in.buf.size()) {
    failed_ = true;
    return Error::decode("record " + std::to_string(in.count) +
                         " is cut short: " + std::to_string(in.buf.size() - in.whole) + " of its " +
                         std::to_string(size_t{in.buf[in.whole]} * 4) + " bytes are there");
  }
  return {};
}

void RecordMerge::sift_down(size_t at) {
  const size_t n = heap_.size();
  for (;;) {
    size_t best = at;
    const size_t l = 2 * at + 1, r = l + 1;
    if (l < n && before(heap_[l], heap_[best])) best = l;
    if (r < n && before(heap_[r], heap_[best])) best = r;
    if (best == at) return;
    std::swap(heap_[at], heap_[best]);
    at = best;
  }
}

size_t RecordMerge::pull(std::vector<uint8_t>& out, uint64_t& records) {
  const auto later = [&](size_t a, size_t b) { return before(b, a); };
  // An input with nothing pending that may still get records holds the merge up.
  for (size_t i : waiting_)
    if (!inputs_[i].finished) return i;
  if (heap_.empty()) return kDone;
  size_t pending = 0;
  for (size_t i : heap_) pending += inputs_[i].whole - inputs_[i].pos;
  out.reserve(out.size() + pending);
  // `m` is the input whose record goes next, out of the heap while its records go.
  std::pop_heap(heap_.begin(), heap_.end(), later);
  size_t m = heap_.back();
  heap_.pop_back();
  for (;;) {
    Input& in = inputs_[m];
    const uint8_t* data = in.buf.data();
    size_t at = in.pos;
    uint64_t taken = 0;
    if (heap_.empty()) {
      for (; at < in.whole; at += size_t{data[at]} * 4) ++taken;
    } else {
      // The records of m go out up to the first that the next input's record goes before.
      const size_t next = heap_.front();
      const uint64_t bound = head_ts(next);
      if (m < next) {
        while (at < in.whole && ts_at(data + at) <= bound) at += size_t{data[at]} * 4, ++taken;
      } else {
        while (at < in.whole && ts_at(data + at) < bound) at += size_t{data[at]} * 4, ++taken;
      }
    }
    out.insert(out.end(), data + in.pos, data + at);
    records += taken;
    in.pos = at;
    if (in.pos == in.whole) {
      waiting_.push_back(m);
      if (!in.finished) return m;
      if (heap_.empty()) return kDone;
      std::pop_heap(heap_.begin(), heap_.end(), later);
      m = heap_.back();
      heap_.pop_back();
      continue;
    }
    // The next input's record goes first now: it leaves the heap's top, m takes its place.
    const size_t next = heap_.front();
    heap_.front() = m;
    sift_down(0);
    m = next;
  }
}

Result<size_t> sort_records(std::span<const uint8_t> records, std::vector<uint8_t>& out) {
  struct Key {
    uint64_t ts;
    size_t offset;
  };
  std::vector<Key> keys;
  bool sorted = true;
  size_t at = 0;
  while (at < records.size()) {
    const size_t length = size_t{records[at]} * 4;
    if (length < kHeader) return short_record(keys.size(), length);
    if (records.size() - at < length) break;
    const uint64_t ts = ts_at(records.data() + at);
    if (!keys.empty() && ts < keys.back().ts) sorted = false;
    keys.push_back({ts, at});
    at += length;
  }
  if (sorted) {
    out.insert(out.end(), records.begin(), records.begin() + static_cast<std::ptrdiff_t>(at));
    return at;
  }
  // Offsets grow with the input order, so sorting by (ts, offset) keeps equal ones in order.
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    return a.ts < b.ts || (a.ts == b.ts && a.offset < b.offset);
  });
  const size_t start = out.size();
  out.resize(start + at);
  uint8_t* dst = out.data() + start;
  for (const Key& k : keys) {
    const size_t length = size_t{records[k.offset]} * 4;
    std::memcpy(dst, records.data() + k.offset, length);
    dst += length;
  }
  return at;
}

}  // namespace orx
