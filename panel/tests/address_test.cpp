// Point addresses as the host checks them through command 3.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dispatch.h"
#include "host_capture.h"
#include "panel_protocol.h"

using namespace vuzov;

namespace {

constexpr std::int32_t kUntouchedPanel = -7;

class AddressTest : public ::testing::Test {
 protected:
  // Runs command 3 through the dispatcher on a block whose host bytes are marked.
  std::uint32_t Check(const char *address) {
    std::memset(&block, 0x5A, sizeof block);
    block.address = address;
    block.panel = kUntouchedPanel;
    Request request{};
    request.command = kSingleAddressParser;
    request.params = &block;
    return DispatchRequest(&request);
  }

  std::int32_t Panel() const { return block.panel; }

  void ExpectHostBytesUntouched() const {
    for (std::uint8_t byte : block.host_reserved) ASSERT_EQ(byte, 0x5A);
  }

  vuzov_test::HostCapture host;
  AddressBlock block{};
};

const std::string kLengthLine = "ZODODA> Parse() wrong length address string '";

std::string IllegalLine(int position, const std::string &address) {
  return "ZODODA> Parse() Illegal character " + std::to_string(position) + " in '" + address +
         "'";
}

}  // namespace

TEST_F(AddressTest, ValidAddressesStoreTheirPanelDigitSilently) {
  const std::vector<std::pair<std::string, std::int32_t>> valid = {
      {"CP1A!", 1}, {"CP0Z123", 0}, {"CP8PL", 8}, {"CP5R9", 5}, {"CP3S0", 3},
      // Nothing after position 4 is judged.
      {"CP2Z1 anything, even lower case \x7F\xFF", 2},
  };
  for (const auto &[address, panel] : valid) {
    EXPECT_EQ(Check(address.c_str()), kOk) << address;
    EXPECT_EQ(Panel(), panel) << address;
    ExpectHostBytesUntouched();
  }
  EXPECT_TRUE(host.Lines().empty());
}

TEST_F(AddressTest, ShortAddressesAreRejectedWithTheLengthLine) {
  for (const char *address : {"CP1Z", "CP1", "", "C"}) {
    host.Clear();
    EXPECT_EQ(Check(address), kNotPossible) << address;
    EXPECT_EQ(Panel(), kUntouchedPanel);
    EXPECT_EQ(host.Lines(),
              (std::vector<vuzov_test::LogLine>{{kLogInfo, kLengthLine + address + "'"}}));
  }
}

TEST_F(AddressTest, TheFirstIllegalPositionIsNamed) {
  const std::vector<std::pair<std::string, int>> invalid = {
      {"cp1Z1", 0}, {"XP1Z1", 0}, {"Cp1Z1", 1}, {"CP9Z1", 2}, {"CPxZ1", 2},
      {"CP1X1", 3}, {"CP1z1", 3}, {"CP1ZA", 4}, {"CP1Zl", 4}, {"CP1Z?", 4},
      // Only the first fault is reported.
      {"cP9X?", 0}, {"CP9X?", 2},
  };
  for (const auto &[address, position] : invalid) {
    host.Clear();
    EXPECT_EQ(Check(address.c_str()), kNotPossible) << address;
    EXPECT_EQ(Panel(), kUntouchedPanel) << address;
    EXPECT_EQ(host.Texts(), std::vector<std::string>{IllegalLine(position, address)});
    ExpectHostBytesUntouched();
  }
}

TEST_F(AddressTest, HighBytesAreIllegalCharacters) {
  EXPECT_EQ(Check("CP\xB1Z1"), kNotPossible);
  EXPECT_EQ(host.Texts(), std::vector<std::string>{IllegalLine(2, "CP\xB1Z1")});
}

TEST_F(AddressTest, LongAddressesAreJudgedByTheirFirstFivePositions) {
  const std::string valid = "CP4A!" + std::string(5000, 'x');
  EXPECT_EQ(Check(valid.c_str()), kOk);
  EXPECT_EQ(Panel(), 4);
  EXPECT_TRUE(host.Lines().empty());

  // The line quotes the first 255 characters.
  const std::string invalid = "CP4Q!" + std::string(5000, 'y');
  EXPECT_EQ(Check(invalid.c_str()), kNotPossible);
  EXPECT_EQ(Panel(), kUntouchedPanel);
  EXPECT_EQ(host.Texts(), std::vector<std::string>{IllegalLine(3, invalid.substr(0, 255))});
}

TEST_F(AddressTest, NullAddressIsRejectedAsEmpty) {
  EXPECT_EQ(Check(nullptr), kNotPossible);
  EXPECT_EQ(Panel(), kUntouchedPanel);
  EXPECT_EQ(host.Texts(), std::vector<std::string>{kLengthLine + "'"});
}

TEST_F(AddressTest, NullParamsFailAndLogNothing) {
  Request request{};
  request.command = kSingleAddressParser;
  EXPECT_EQ(DispatchRequest(&request), kFailed);
  EXPECT_TRUE(host.Lines().empty());
}
