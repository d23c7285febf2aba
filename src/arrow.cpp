#include "arrow.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "scratch.h"
#include "threads.h"

namespace orx {

SymbolDictionary SymbolDictionary::of(const SymbolMap& symbols) {
  SymbolDictionary d;
  for (const auto& [id, ticker] : symbols.map) d.tickers.push_back(ticker);
  std::sort(d.tickers.begin(), d.tickers.end());
  d.tickers.erase(std::unique(d.tickers.begin(), d.tickers.end()), d.tickers.end());
  for (const auto& [id, ticker] : symbols.map) {
    const auto at = std::lower_bound(d.tickers.begin(), d.tickers.end(), ticker);
    d.index.emplace(id, static_cast<int32_t>(at - d.tickers.begin()));
  }
  return d;
}

namespace {

// --- schemas --------------------------------------------------------------------------------

struct SchemaData {
  std::string format;
  std::string name;
  std::vector<std::unique_ptr<ArrowSchema>> children;
  std::vector<ArrowSchema*> child_pointers;
  std::unique_ptr<ArrowSchema> dictionary;
};

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (auto& child : data->children)
    if (child->release) child->release(child.get());
  if (data->dictionary && data->dictionary->release)
    data->dictionary->release(data->dictionary.get());
  delete data;
  schema->release = nullptr;
}

// Fills `out` with a schema node owning its texts and children.
SchemaData* make_schema(ArrowSchema* out, std::string format, std::string name, int64_t flags) {
  auto* data = new SchemaData{std::move(format), std::move(name), {}, {}, {}};
  *out = ArrowSchema{data->format.c_str(),
                     data->name.c_str(),
                     nullptr,
                     flags,
                     0,
                     nullptr,
                     nullptr,
                     &release_schema,
                     data};
  return data;
}

ArrowSchema* add_child(ArrowSchema* parent, SchemaData* data) {
  data->children.push_back(std::make_unique<ArrowSchema>());
  data->child_pointers.push_back(data->children.back().get());
  parent->n_children = static_cast<int64_t>(data->children.size());
  parent->children = data->child_pointers.data();
  return data->children.back().get();
}

bool is_time(const Column& c) { return c.role == Role::EventTime || c.role == Role::Time; }

const char* format_of(const Column& c, PriceForm prices) {
  if (is_time(c)) return "tsn:UTC";
  if (c.role == Role::Letter) return "u";
  if (c.role == Role::Price && prices == PriceForm::Float) return "g";
  static const char* const kFormats[2][4] = {{"C", "S", "I", "L"}, {"c", "s", "i", "l"}};
  const int width = c.width == 1 ? 0 : c.width == 2 ? 1 : c.width == 4 ? 2 : 3;
  return kFormats[c.is_signed][width];
}

// --- arrays ---------------------------------------------------------------------------------

struct ArrayData {
  std::vector<ScratchBuffer> owned;  // given back to the pool when the consumer releases the array
  std::vector<const void*> buffers;
  std::vector<std::unique_ptr<ArrowArray>> children;
  std::vector<ArrowArray*> child_pointers;
  std::unique_ptr<ArrowArray> dictionary;

  uint8_t* allocate(size_t bytes) {
    owned.push_back(ScratchBuffer::take(std::max<size_t>(bytes, 8)));
    return owned.back().data();
  }
};

void release_array(ArrowArray* array) {
  auto* data = static_cast<ArrayData*>(array->private_data);
  for (auto& child : data->children)
    if (child->release) child->release(child.get());
  if (data->dictionary && data->dictionary->release)
    data->dictionary->release(data->dictionary.get());
  delete data;
  array->release = nullptr;
}

// Fills `out` with an array node of `length` values whose buffers `data` holds.
void finish_array(ArrowArray* out, ArrayData* data, size_t length, int64_t null_count) {
  *out = ArrowArray{static_cast<int64_t>(length),
                    null_count,
                    0,
                    static_cast<int64_t>(data->buffers.size()),
                    static_cast<int64_t>(data->children.size()),
                    data->buffers.data(),
                    nullptr,
                    data->dictionary.get(),
                    &release_array,
                    data};
  for (auto& child : data->children) data->child_pointers.push_back(child.get());
  out->children = data->child_pointers.data();
}

// One-character strings: each byte as the code point of its unsigned value, in UTF-8, into
// `offsets` and `text` (room for two bytes a value).
void fill_letters(const RecordRun& run, const Column& c, int32_t* offsets, uint8_t* text) {
  const uint8_t* p = run.data;
  int32_t at = 0;
  offsets[0] = 0;
  for (size_t i = 0; i < run.count; ++i, p += static_cast<size_t>(p[0]) * 4) {
    const uint8_t b = p[c.offset];
    if (b < 0x80) {
      text[at++] = b;
    } else {
      text[at++] = static_cast<uint8_t>(0xC0 | (b >> 6));
      text[at++] = static_cast<uint8_t>(0x80 | (b & 0x3F));
    }
    offsets[i + 1] = at;
  }
}

void strings_array(const std::vector<std::string>& values, ArrowArray* out) {
  auto* data = new ArrayData;
  size_t total = 0;
  for (const std::string& v : values) total += v.size();
  auto* offsets = reinterpret_cast<int32_t*>(data->allocate((values.size() + 1) * 4));
  uint8_t* text = data->allocate(total);
  int32_t at = 0;
  offsets[0] = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    std::memcpy(text + at, values[i].data(), values[i].size());
    at += static_cast<int32_t>(values[i].size());
    offsets[i + 1] = at;
  }
  data->buffers = {nullptr, offsets, text};
  finish_array(out, data, values.size(), 0);
}

}  // namespace

void export_schema(RType kind, PriceForm prices, ArrowSchema* out) {
  SchemaData* top = make_schema(out, "+s", "", 0);
  for (const Column& c : columns_of(kind))
    make_schema(add_child(out, top), format_of(c, prices), c.name, 0);
  ArrowSchema* symbol = add_child(out, top);
  SchemaData* symbol_data = make_schema(symbol, "i", "symbol", ARROW_FLAG_NULLABLE);
  symbol_data->dictionary = std::make_unique<ArrowSchema>();
  make_schema(symbol_data->dictionary.get(), "u", "", 0);
  symbol->dictionary = symbol_data->dictionary.get();
}

void export_array(const RecordRun& run, PriceForm prices, const SymbolDictionary& symbols,
                  ArrowArray* out, unsigned threads) {
  const size_t n = run.count;
  auto* top = new ArrayData;
  top->buffers = {nullptr};
  std::vector<ColumnSink> sinks;
  // Letters are filled as bytes, one a value, which is their UTF-8 when all are ASCII (the
  // usual); a column with any other byte is made again from the records.
  struct Letters {
    const Column* column;
    int32_t* offsets;
    uint8_t* text;
  };
  std::vector<Letters> letters;
  const uint32_t* ids = nullptr;
  for (const Column& c : columns_of(run.kind)) {
    top->children.push_back(std::make_unique<ArrowArray>());
    ArrowArray* child = top->children.back().get();
    auto* data = new ArrayData;
    if (c.role == Role::Letter) {
      auto* offsets = reinterpret_cast<int32_t*>(data->allocate((n + 1) * 4));
      uint8_t* text = data->allocate(n * 2);
      data->buffers = {nullptr, offsets, text};
      finish_array(child, data, n, 0);
      sinks.push_back({&c, Form::Native, text});
      letters.push_back({&c, offsets, text});
      continue;
    }
    const Form form =
        c.role == Role::Price && prices == PriceForm::Float ? Form::Float64 : Form::Native;
    uint8_t* values = data->allocate(n * form_width(c, form));
    data->buffers = {nullptr, values};
    finish_array(child, data, n, 0);
    sinks.push_back({&c, form, values});
    if (std::strcmp(c.name, "instrument_id") == 0) ids = reinterpret_cast<const uint32_t*>(values);
  }
  auto* sym = new ArrayData;
  auto* indices = reinterpret_cast<int32_t*>(sym->allocate(n * 4));
  uint8_t* valid = sym->allocate((n + 7) / 8);
  std::memset(valid, 0, (n + 7) / 8);

  // Rows [r0, r1) of every column on each thread.
  const size_t parts = fill_ranges(run, threads);
  std::vector<size_t> nulls(parts, 0);
  std::vector<uint8_t> other(parts * letters.size(), 0);  // a letter that is not ASCII
  parallel_for(parts, static_cast<unsigned>(parts), [&](size_t t) {
    const auto [r0, r1] = range_rows(n, t, parts);
    if (parts == 1)
      fill_columns(run, sinks);
    else
      for_each_chunk_in(run, r0, r1, [&](const RecordChunk& chunk) { fill_chunk(chunk, sinks); });
    for (size_t k = 0; k < letters.size(); ++k) {
      uint8_t high = 0;
      for (size_t i = r0; i < r1; ++i) {
        high |= letters[k].text[i];
        letters[k].offsets[i + 1] = static_cast<int32_t>(i + 1);
      }
      other[t * letters.size() + k] = high >> 7;
    }
    uint32_t last_id = 0;
    int32_t last_index = -1;
    for (size_t i = r0; i < r1; ++i) {
      if (i == r0 || ids[i] != last_id) {
        const auto it = symbols.index.find(ids[i]);
        last_index = it == symbols.index.end() ? -1 : it->second;
        last_id = ids[i];
      }
      if (last_index < 0) {
        indices[i] = 0;
        ++nulls[t];
      } else {
        indices[i] = last_index;
        valid[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
      }
    }
  });
  for (size_t k = 0; k < letters.size(); ++k) {
    letters[k].offsets[0] = 0;
    bool ascii = true;
    for (size_t t = 0; t < parts; ++t) ascii &= !other[t * letters.size() + k];
    if (!ascii) fill_letters(run, *letters[k].column, letters[k].offsets, letters[k].text);
  }
  size_t null_count = 0;
  for (size_t c : nulls) null_count += c;
  sym->buffers = {null_count ? valid : nullptr, indices};
  sym->dictionary = std::make_unique<ArrowArray>();
  strings_array(symbols.tickers, sym->dictionary.get());
  top->children.push_back(std::make_unique<ArrowArray>());
  finish_array(top->children.back().get(), sym, n, static_cast<int64_t>(null_count));
  finish_array(out, top, n, 0);
}

}  // namespace orx
