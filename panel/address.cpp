// Point addresses: "CP", the panel digit, the point kind letter and a digit, '!'
// or 'L'. Only positions 0 to 4 are judged; whatever follows is the host's.
#include <cstring>
#include <string_view>

#include "panel_protocol.h"

namespace vuzov {

namespace {

// The log lines quote the address from this copy: an address longer than 255
// characters is quoted by its first 255 only. Every position that is judged lies
// well inside it, so the verdict is the same as for the whole text.
constexpr std::size_t kWorkingCopySize = 256;
constexpr std::size_t kJudgedLength = 5;

// The characters allowed at positions 0 to 4, in order.
constexpr std::string_view kAllowed[kJudgedLength] = {
    "C",
    "P",
    "012345678",  // the panel number; 9 is not a panel
    "ZRASP",
    "0123456789!L",
};

// Copies at most the copy's size less one character, and never reads the host's
// text past its terminator.
void CopyAddress(const char *address, char (&copy)[kWorkingCopySize]) {
  std::size_t length = 0;
  if (address != nullptr) {
    while (length + 1 < kWorkingCopySize && address[length] != '\0') ++length;
    std::memcpy(copy, address, length);
  }
  copy[length] = '\0';
}

bool Allowed(std::size_t position, char character) {
  return kAllowed[position].find(character) != std::string_view::npos;
}

}  // namespace

std::uint32_t Parse(AddressBlock *block) {
  if (block == nullptr) return kFailed;
  // A null text is judged as an empty one: too short.
  char copy[kWorkingCopySize] = {};
  CopyAddress(block->address, copy);
  if (std::strlen(copy) < kJudgedLength) {
    err(kLogInfo, "ZODODA> Parse() wrong length address string '%s'", copy);
    return kNotPossible;
  }
  for (std::size_t position = 0; position < kJudgedLength; ++position) {
    if (!Allowed(position, copy[position])) {
      err(kLogInfo, "ZODODA> Parse() Illegal character %d in '%s'", static_cast<int>(position),
          copy);
      return kNotPossible;
    }
  }
  // Position 2 is a digit and position 3 a letter, so the number the address
  // carries is that one digit.
  block->panel = copy[2] - '0';
  return kOk;
}

std::uint32_t SingleAddressParser(Request *request) {
  if (request == nullptr || request->params == nullptr) return kFailed;
  return Parse(static_cast<AddressBlock *>(request->params));
}

}  // namespace vuzov
