// The tools set a serial line up as the driver sets up its port: the same
// terminal state for every rate of the tools' table that the driver's host
// records can carry and every framing, and the same refusals, with the reason
// said.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <string>

#include "serial_line.h"
#include "serial_port.h"
#include "serial_port_posix.h"
#include "unique_fd.h"

namespace {

using toolbox::LineSetup;
using toolbox::Parity;
using toolbox::StopBits;
using toolbox::UniqueFd;

// A fresh pty, held by its master; `slave` is the path the line is opened by.
struct Pty {
  UniqueFd master;
  std::string slave;
};

Pty MakePty() {
  Pty pty{UniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)), std::string()};
  char name[128];
  if (!pty.master || grantpt(pty.master.get()) != 0 || unlockpt(pty.master.get()) != 0 ||
      ptsname_r(pty.master.get(), name, sizeof name) != 0) {
    ADD_FAILURE() << "cannot make a pty";
    return pty;
  }
  pty.slave = name;
  return pty;
}

vuzov::LineSettings AsHostRecords(const LineSetup &setup) {
  return vuzov::LineSettings{static_cast<std::uint16_t>(setup.baud),
                             static_cast<std::uint16_t>(setup.data_bits),
                             static_cast<std::uint16_t>(setup.stop_bits),
                             static_cast<std::uint16_t>(setup.parity)};
}

std::string Describe(const LineSetup &setup) {
  return std::to_string(setup.baud) + " baud, " + std::to_string(setup.data_bits) +
         " data bits, parity " + std::to_string(static_cast<unsigned>(setup.parity)) +
         ", stop bits " + std::to_string(static_cast<unsigned>(setup.stop_bits));
}

void ExpectSameState(const termios &tools, const termios &driver) {
  EXPECT_EQ(tools.c_iflag, driver.c_iflag);
  EXPECT_EQ(tools.c_oflag, driver.c_oflag);
  EXPECT_EQ(tools.c_cflag, driver.c_cflag);
  EXPECT_EQ(tools.c_lflag, driver.c_lflag);
  EXPECT_EQ(tools.c_line, driver.c_line);
  for (int i = 0; i < NCCS; ++i) EXPECT_EQ(tools.c_cc[i], driver.c_cc[i]) << "c_cc[" << i << "]";
  EXPECT_EQ(cfgetispeed(&tools), cfgetispeed(&driver));
  EXPECT_EQ(cfgetospeed(&tools), cfgetospeed(&driver));
}

// The state a pty's slave is left in by the tools' set-up.
termios SetUpByTheTools(const LineSetup &setup) {
  const Pty pty = MakePty();
  const UniqueFd line(open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  std::string error;
  EXPECT_TRUE(toolbox::SetUpLine(line.get(), setup, &error)) << error;
  termios state{};
  EXPECT_EQ(tcgetattr(line.get(), &state), 0);
  return state;
}

// The state a pty's slave is left in when the driver opens it as its port.
termios OpenedByTheDriver(const LineSetup &setup) {
  const Pty pty = MakePty();
  vuzov::PortWord port{};
  EXPECT_EQ(vuzov::OpenPort(pty.slave.c_str(), AsHostRecords(setup), 0, &port), vuzov::kPortOpened);
  termios state{};
  EXPECT_EQ(tcgetattr(static_cast<int>(port), &state), 0);
  EXPECT_EQ(vuzov::ClosePort(port), vuzov::kOk);
  return state;
}

// Both the state asked for and the state a pty keeps: a pty forces eight data
// bits without parity, which would hide a difference in those. The state asked
// for is made on top of a state with every flag set, so that a flag one side
// leaves alone and the other clears shows.
TEST(SerialLine, EveryRateAndFramingIsSetUpAsTheDriverSetsItsPort) {
  termios initial{};
  initial.c_iflag = initial.c_oflag = initial.c_cflag = initial.c_lflag = ~tcflag_t{0};
  for (int i = 0; i < NCCS; ++i) initial.c_cc[i] = static_cast<cc_t>(0x40 + i);
  int compared = 0;
  for (const unsigned baud : toolbox::LineRates()) {
    if (baud > 0xFFFF) continue;  // beyond the host records' 16-bit rate
    for (unsigned data_bits = 5; data_bits <= 8; ++data_bits) {
      for (unsigned parity = 0; parity <= 4; ++parity) {
        for (unsigned stop_bits = 0; stop_bits <= 2; ++stop_bits) {
          const LineSetup setup{baud, data_bits, Parity(parity), StopBits(stop_bits)};
          SCOPED_TRACE(Describe(setup));
          termios tools = initial;
          termios driver = initial;
          ASSERT_TRUE(toolbox::MakeLineState(setup, &tools));
          ASSERT_TRUE(vuzov::BuildLineState(AsHostRecords(setup), &driver));
          ExpectSameState(tools, driver);
          ExpectSameState(SetUpByTheTools(setup), OpenedByTheDriver(setup));
          if (HasFailure()) return;
          ++compared;
        }
      }
    }
  }
  EXPECT_EQ(compared, 16 * 4 * 5 * 3);
}

TEST(SerialLine, WhatTheDriverRefusesTheToolsRefuseWithTheReason) {
  const LineSetup refused[] = {
      {12345}, {0}, {65535}, {9600, 4}, {9600, 9}, {9600, 8, Parity(5)},
      {9600, 8, Parity::kNone, StopBits(3)},
  };
  for (const LineSetup &setup : refused) {
    SCOPED_TRACE(Describe(setup));
    termios tools{};
    termios driver{};
    EXPECT_FALSE(vuzov::BuildLineState(AsHostRecords(setup), &driver));
    EXPECT_FALSE(toolbox::MakeLineState(setup, &tools));
    const Pty pty = MakePty();
    const UniqueFd line(open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios before{};
    ASSERT_EQ(tcgetattr(line.get(), &before), 0);
    std::string error;
    EXPECT_FALSE(toolbox::SetUpLine(line.get(), setup, &error));
    EXPECT_EQ(error, toolbox::LineSetupProblem(setup));
    EXPECT_FALSE(error.empty());
    termios after{};
    ASSERT_EQ(tcgetattr(line.get(), &after), 0);
    ExpectSameState(after, before);  // refused, not half set
  }
  EXPECT_EQ(toolbox::LineSetupProblem(refused[0]),
            "a serial line cannot run at 12345 baud (it takes 50, 75, 110, 134, 150, 200, 300, "
            "600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400)");
  EXPECT_EQ(toolbox::LineSetupProblem(refused[4]), "a serial line carries 5 to 8 data bits, not 9");
}

}  // namespace
