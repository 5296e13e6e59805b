// Point addresses as any host text: no input may read or write outside the text
// and the record, and the verdict must keep the record's promises.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "panel_protocol.h"

namespace {

constexpr std::int32_t kUntouched = -7;
// The longest line: its text and an address quoted by 255 characters at most.
constexpr std::size_t kLongestLine = 64 + 255;

void CheckLine(void *, std::int32_t level, const char *line) {
  if (level != vuzov::kLogInfo || std::strlen(line) > kLongestLine) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool ready = (QarHostSetLogSink(&CheckLine, nullptr), true);
  (void)ready;

  // Exactly as long as the input plus its terminator, so reading past it is caught.
  // An empty input stands for a null address.
  std::vector<char> text(data, data + size);
  text.push_back('\0');

  vuzov::AddressBlock block;
  std::memset(&block, 0x5A, sizeof block);
  block.address = size == 0 ? nullptr : text.data();
  block.panel = kUntouched;
  vuzov::Request request{};
  request.command = vuzov::kSingleAddressParser;
  request.params = &block;

  const std::uint32_t result = vuzov::SingleAddressParser(&request);
  const std::int32_t panel = block.panel;
  if (result == vuzov::kOk) {
    if (panel < 0 || panel > 8 || panel != text[2] - '0') std::abort();
  } else if (result != vuzov::kNotPossible || panel != kUntouched) {
    std::abort();
  }
  for (std::uint8_t byte : block.host_reserved) {
    if (byte != 0x5A) std::abort();
  }
  return 0;
}
