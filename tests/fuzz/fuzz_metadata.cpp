// Metadata bodies: hostile bytes must give a value or one of the three InvalidData messages,
// and any value that comes out must survive serialization unchanged.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "decode.h"
#include "encode.h"
#include "metadata.h"

#include "require.h"

using namespace orx;

namespace {

std::string_view view(const std::vector<uint8_t>& v) {
  return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);

  auto m = Metadata::deserialize(in);
  if (m) {
    const auto body = m->serialize();
    REQUIRE(body.ok() && body->size() == m->serialized_size());
    const auto back = Metadata::deserialize(view(*body));
    REQUIRE(back.ok() && *back == *m);
    std::vector<uint8_t> framed;
    if (encode_metadata(framed, *m).ok()) {
      REQUIRE(framed.size() == body->size() + 2);
      ByteReader reader(view(framed));
      const auto block = read_metadata(reader);
      REQUIRE(block.ok() && block->metadata && *block->metadata == *m && reader.at_end());
    } else {
      REQUIRE(framed.empty() && body->size() > kMaxMetadataBody);
    }
    (void)to_string(*m);
    (void)to_string(m->mappings);
  } else {
    const Error& e = m.error();
    REQUIRE(e.kind() == ErrorKind::Io && e.io_kind() == IoKind::InvalidData);
    const std::string_view text = e.payload();
    REQUIRE(text == "Insufficient data to deserialize metadata" || text == "Invalid schema value" ||
            text == "Failed to deserialize symbol mappings");
  }

  // A symbol map at each of the first few offsets.
  for (size_t start = 0; start < 4 && start <= size; ++start) {
    size_t pos = start;
    const auto symbols = SymbolMap::deserialize(in, pos);
    REQUIRE(symbols.ok() ? pos >= start + 4 && pos <= size : pos == start);
  }

  // The same bytes as a framed block.
  ByteReader reader(in);
  const auto block = read_metadata(reader);
  if (block) {
    REQUIRE(block->metadata.has_value() != block->error.has_value());
  } else {
    REQUIRE(block.error().io_kind() == IoKind::UnexpectedEof && reader.at_end());
  }
  return 0;
}
