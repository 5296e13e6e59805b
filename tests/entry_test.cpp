// The entry point's dispatch, the ended state and the driver information record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_capture.h"
#include "dispatch.h"

using namespace vuzov;

namespace {

// The state the host reserves for an instance: 552 bytes, and 4 more in the
// 64-bit Windows build, whose port word is an 8-byte HANDLE.
constexpr std::uint32_t kStateSize = sizeof(PortWord) == 8 ? 556u : 552u;

// Restores the module to the running state whatever a test did to it.
class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override { EndedFlag.store(0); }
  void TearDown() override { EndedFlag.store(0); }
  vuzov_test::HostCapture host;
};

Request MakeRequest(InstanceState *state, std::uint32_t command, void *params) {
  Request request{};
  request.state = state;
  request.command = command;
  request.instance = 1;
  request.params = params;
  return request;
}

}  // namespace

TEST_F(EntryTest, UnservedCommandCodesReturnTwoAndLogNothing) {
  InstanceState state;
  std::memset(&state, 0xA5, sizeof state);
  InstanceState before = state;
  unsigned char params[64];
  std::memset(params, 0x5A, sizeof params);
  for (std::uint32_t code : {0u, 4u, 6u, 8u, 9u, 10u, 16u, 17u, 255u, 0xFFFFFFFFu}) {
    Request request = MakeRequest(&state, code, params);
    EXPECT_EQ(DispatchRequest(&request), kFailed) << "code " << code;
  }
  EXPECT_TRUE(host.Lines().empty());
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
  for (unsigned char byte : params) ASSERT_EQ(byte, 0x5A);
}

TEST_F(EntryTest, NullRequestOrParamsReturnTwo) {
  EXPECT_EQ(DispatchRequest(nullptr), kFailed);
  Request request = MakeRequest(nullptr, kGetZemInfo, nullptr);
  EXPECT_EQ(DispatchRequest(&request), kFailed);
  EXPECT_TRUE(host.Lines().empty());
}

TEST_F(EntryTest, EndedModuleAnswersZeroToEverythingAndTouchesNothing) {
  EndedFlag.store(1);
  InstanceState state;
  std::memset(&state, 0xC3, sizeof state);
  InstanceState before = state;
  unsigned char params[64];
  std::memset(params, 0x3C, sizeof params);
  for (std::uint32_t code = 0; code <= 20; ++code) {
    Request request = MakeRequest(&state, code, params);
    EXPECT_EQ(DispatchRequest(&request), kOk) << "code " << code;
  }
  EXPECT_EQ(DispatchRequest(nullptr), kOk);
  EXPECT_TRUE(host.Lines().empty());
  EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
  for (unsigned char byte : params) ASSERT_EQ(byte, 0x3C);
}

TEST_F(EntryTest, GetZemInfoFillsTheRecordAndLogs) {
  DriverInfo info;
  std::memset(&info, 0xEE, sizeof info);
  for (int call = 0; call < 3; ++call) {
    Request request = MakeRequest(nullptr, kGetZemInfo, &info);
    ASSERT_EQ(DispatchRequest(&request), kOk);
  }
  EXPECT_EQ(info.host_word0, 810u);
  EXPECT_STREQ(info.name, "FIREPANEL FP11x ");
  const char *banner = info.banner;  // a packed field: read it by value
  EXPECT_EQ(banner, kDriverBanner);
  EXPECT_EQ(info.state_size, kStateSize);
  EXPECT_EQ(info.host_word16, 4u);
  EXPECT_EQ(info.line.baud, 9600);
  EXPECT_EQ(info.line.data_bits, 8);
  EXPECT_EQ(info.line.stop_bits, 0);
  EXPECT_EQ(info.line.parity, 0);
  EXPECT_EQ(info.host_word28, 3u);
  const auto lines = host.Lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const auto &line : lines) {
    EXPECT_EQ(line, (vuzov_test::LogLine{0, "ZODODA> GetZemInfo() exited"}));
  }
}

TEST_F(EntryTest, BannerIsTheCodePage437BoxByteForByte) {
  std::string expected = "\x08\n";
  expected += '\xC9' + std::string(71, '\xCD') + '\xBB' + "\n";
  expected += '\xBA' + std::string(19, ' ') + "VUZOV - Firepanel FP11x" + std::string(29, ' ') +
              '\xBA' + "\n";
  expected += '\xC8' + std::string(71, '\xCD') + '\xBC';
  ASSERT_EQ(expected.size(), 223u);
  EXPECT_EQ(std::strlen(kDriverBanner), 223u);
  EXPECT_EQ(std::string(kDriverBanner), expected);

  // Every line of the box is 73 columns wide, the middle one included.
  const std::string box = std::string(kDriverBanner).substr(2);
  std::size_t start = 0;
  int rows = 0;
  while (start <= box.size()) {
    std::size_t end = box.find('\n', start);
    if (end == std::string::npos) end = box.size();
    EXPECT_EQ(end - start, 73u) << "row " << rows;
    ++rows;
    start = end + 1;
  }
  EXPECT_EQ(rows, 3);
}
