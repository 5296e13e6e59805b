// The module loaded as a host loads it: only the entry point, reached by name.
#include <gtest/gtest.h>

#include <cstring>

#include "host_capture.h"
#include "host_interface.h"
#include "module_loader.h"

using namespace vuzov;

namespace {

// The state the host reserves for an instance: 552 bytes, and 4 more in the
// 64-bit Windows build, whose port word is an 8-byte HANDLE.
constexpr std::uint32_t kStateSize = sizeof(PortWord) == 8 ? 556u : 552u;

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    module = vuzov_loader::LoadedModule::Load(VUZOV_MODULE_PATH, &error);
    ASSERT_TRUE(module) << error;
  }
  vuzov_test::HostCapture host;
  vuzov_loader::LoadedModule module;
};

}  // namespace

TEST_F(ModuleTest, GetZemInfoThroughTheExport) {
  DriverInfo info{};
  Request request{};
  request.command = kGetZemInfo;
  request.params = &info;
  ASSERT_EQ(module.Entry()(&request), kOk);
  EXPECT_EQ(info.host_word0, 810u);
  EXPECT_EQ(info.state_size, kStateSize);
  EXPECT_STREQ(info.name, "FIREPANEL FP11x ");
  const char *banner = info.banner;  // a packed field: read it by value
  ASSERT_NE(banner, nullptr);
  EXPECT_EQ(std::strlen(banner), 223u);
  // The line reached this host's log through the host library the module imports.
  ASSERT_EQ(host.Lines().size(), 1u);
  EXPECT_EQ(host.Lines()[0], (vuzov_test::LogLine{0, "ZODODA> GetZemInfo() exited"}));
}

TEST_F(ModuleTest, UnservedCodesAndNullRequestThroughTheExport) {
  EXPECT_EQ(module.Entry()(nullptr), kFailed);
  for (std::uint32_t code : {0u, 4u, 6u, 8u, 9u, 10u, 16u, 17u}) {
    Request request{};
    request.command = code;
    EXPECT_EQ(module.Entry()(&request), kFailed) << code;
  }
  EXPECT_TRUE(host.Lines().empty());
}
