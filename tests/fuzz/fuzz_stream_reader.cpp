// Streams through StreamReader, read in chunks of a size the input chooses: it must hand out
// exactly the records RecordDecoder finds in the same bytes, fail where the decoder fails (or
// where it drops a cut record), and every run of one kind must export to Arrow and release.
//
// Input: one control byte (bits 0-5: chunk size - 1; bit 6: allow_truncated; bit 7: read in
// runs of up to 3 records instead of one by one), then the stream.
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow.h"
#include "decode.h"
#include "sources.h"
#include "stream_reader.h"

#include "require.h"

using namespace orx;

namespace {

void export_and_release(const std::vector<uint8_t>& bytes, const RunInfo& info,
                        const SymbolDictionary& symbols) {
  for (uint8_t k = 1; k < 32; ++k) {
    if (info.kinds != (uint32_t{1} << k)) continue;
    const RecordRun run{bytes.data(), bytes.size(), info.count, static_cast<RType>(k)};
    for (const PriceForm form : {PriceForm::Fixed, PriceForm::Float}) {
      ArrowArray array;
      export_array(run, form, symbols, &array);
      REQUIRE(array.length == static_cast<int64_t>(info.count) && array.release);
      array.release(&array);
      ArrowSchema schema;
      export_schema(run.kind, form, &schema);
      REQUIRE(schema.n_children == array.n_children);
      schema.release(&schema);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  StreamReader::Options options;
  options.chunk = (control & 63) + 1;
  options.allow_truncated = control & 64;
  const bool in_runs = control & 128;

  auto chosen = stream_source(std::make_unique<MemorySource>(in));
  REQUIRE(chosen.ok());
  auto reader = StreamReader::open(std::move(*chosen), options);
  auto decoder = RecordDecoder::open(in);
  REQUIRE(reader.ok() == decoder.ok());
  if (!reader) return 0;
  REQUIRE(reader->metadata() == decoder->metadata());
  const SymbolDictionary symbols =
      SymbolDictionary::of(reader->metadata() ? reader->metadata()->mappings : SymbolMap{});

  std::vector<uint8_t> run;
  for (;;) {
    // What the decoder says comes next.
    const size_t at = decoder->position();
    auto expected = decoder->decode_record_ref();
    std::optional<Error> expected_error;
    if (!expected)
      expected_error = expected.error();
    else if (*expected && !convertible_kind(**expected))
      expected_error = convertible_kind(**expected).error();
    const bool cut = expected && !*expected && at < in.size();

    run.clear();
    RunInfo info;
    Status got;
    std::optional<StreamReader::Record> record;
    if (in_runs) {
      got = reader->read_run(1, run, info);
      if (got && info.count)
        record = StreamReader::Record{RecordRef(run.data(), run.size()), RType::Mbp1};
    } else {
      auto next = reader->next();
      if (!next)
        got = next.error();
      else
        record = *next;
    }
    if (expected_error) {
      REQUIRE(!got && got.error().display() == expected_error->display());
      REQUIRE(reader->offset() == at);
      break;
    }
    if (cut && !options.allow_truncated) {
      REQUIRE(!got && got.error().io_kind() == IoKind::UnexpectedEof && reader->offset() == at);
      break;
    }
    REQUIRE(got.ok());
    if (!*expected) {
      REQUIRE(!record);
      break;
    }
    REQUIRE(record.has_value());
    const RecordRef& want = **expected;
    REQUIRE(record->ref.record_size() == want.record_size());
    REQUIRE(std::memcmp(record->ref.data(), want.data(), want.record_size()) == 0);
    REQUIRE(reader->offset() == decoder->position());
    if (in_runs) export_and_release(run, info, symbols);
  }
  // A failure is kept: the next read reports it again; the end stays the end.
  auto again = reader->next();
  REQUIRE(!again || !*again);
  return 0;
}
