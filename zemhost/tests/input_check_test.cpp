// What zemhost takes from the user before a run: flags, config files, gate
// lists and scenarios. A bad one ends the run at the start with exit 2 and a
// message that says where; a simulated panel runs only when asked for, and
// then every output says so.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "line.h"
#include "simulator.h"
#include "zemhost_run.h"

namespace {

using namespace zemhost_test;

// A folder of its own for the files of one test, removed with them.
class Folder {
 public:
  Folder() : path_(::testing::TempDir() + "zemhost_input_" + std::to_string(getpid())) {
    mkdir(path_.c_str(), 0700);
  }
  ~Folder() {
    for (const std::string &file : files_) unlink(file.c_str());
    rmdir(path_.c_str());
  }
  Folder(const Folder &) = delete;
  Folder &operator=(const Folder &) = delete;

  const std::string &path() const { return path_; }
  std::string Write(const std::string &name, const std::string &text) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << text;
    files_.push_back(file);
    return file;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

struct Input {
  std::vector<std::string> arguments;
  int status;
  std::string message;  // on standard error, or on standard output for a run that went ahead
};

void Check(const std::vector<Input> &inputs) {
  for (const Input &input : inputs) {
    std::string shown;
    for (const std::string &argument : input.arguments) shown += "'" + argument + "' ";
    SCOPED_TRACE(shown);
    Program run(input.arguments);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.Wait(), input.status) << run.err() << run.out();
    const std::string &where = input.status == 0 ? run.out() : run.err();
    EXPECT_NE(where.find(input.message), std::string::npos) << run.err() << run.out();
  }
}

TEST(InputCheck, AnEmptyOrMissingValueNeverStartsTheDemoPanel) {
  Folder folder;
  const std::string empty_port = folder.Write("empty_port.conf", "[instance]\nport =\n");
  const std::string empty_scenario = folder.Write("empty_sim.conf", "[instance]\nsimulate =\n");
  Check({
      {{"--port", ""}, 2, "zemhost: --port: port needs a port name"},
      {{"--simulate", ""}, 2, "--simulate: simulate needs a scenario file or demo"},
      {{"--module", ""}, 2, "--module: module needs the path of the driver module"},
      {{"--config", ""}, 2, "--config needs a config file"},
      {{"--gates", ""}, 2, "--gates: gates needs a gate list file"},
      {{"--config", empty_port}, 2, empty_port + ":2: port needs a port name"},
      {{"--config", empty_scenario}, 2, empty_scenario + ":2: simulate needs a scenario"},
      // A flag's value gone missing takes the next flag as the value.
      {{"--port", "--polls", "1"}, 2, "--port needs a value, but the next argument is the flag --polls"},
      {{"--polls", "--port", "ttyS0"}, 2, "--polls needs a value, but the next argument is the flag --port"},
  });
}

TEST(InputCheck, FilesAreCheckedAndNamedWithTheirLine) {
  Folder folder;
  const std::string scenario = kScenarios + "/quick.scn";
  const std::string spaced = folder.Write("spaced.gates", "CP1Z1\n# zones\n\nhello world\n");
  const std::string long_name = folder.Write("long.gates", std::string(5000, 'G') + "\n");
  const std::string empty = folder.Write("empty.gates", "");
  const std::string comments = folder.Write("comments.gates", "# nothing yet\n\n");
  const std::string control = folder.Write("control.gates", "CP1Z1\nCP1\tZ2\n");
  const std::string missing = folder.Write("missing.conf", "[instance]\nsimulate = nosuch.scn\n");
  const std::string conflict =
      folder.Write("conflict.conf", "polls = 1\n[instance]\nport = ttyS0\n\nsimulate = demo\n");
  const std::string late = folder.Write(
      "late.conf", "for = 1s\n[instance]\nsimulate = demo\nsend = CP1R!@1.5s\n");
  Check({
      {{"--gates", folder.path()}, 2, "the gate list " + folder.path() + ": it is a directory"},
      {{"--simulate", folder.path()}, 2, "scenario " + folder.path() + ": it is a directory"},
      {{"--config", folder.path()}, 2, "config file " + folder.path() + ": it is a directory"},
      {{"--simulate", scenario, "--gates", spaced}, 2, spaced + ":4: gate name 'hello world'"},
      {{"--simulate", scenario, "--gates", long_name}, 2, long_name + ":1: gate name of 5000 characters; the longest is 37"},
      {{"--simulate", scenario, "--gates", control}, 2, control + ":2: gate name"},
      {{"--simulate", scenario, "--gates", empty}, 2, empty + ": the gate list names no gate"},
      {{"--simulate", scenario, "--gates", comments}, 2, comments + ": the gate list names no gate"},
      {{"--config", missing}, 2, missing + ":2: cannot read scenario " + folder.path() + "/nosuch.scn"},
      // The second of the two keys is the one to remove.
      {{"--config", conflict}, 2, conflict + ":5: an instance has a port or a simulated panel, not both"},
      // A timed send that the run ends before.
      {{"--simulate", scenario, "--send", "CP1S!@5s", "--for", "2s"}, 2,
       "send CP1S!@5s is due at 5s, but the run lasts 2s"},
      {{"--config", late}, 2, late + ":2: send CP1R!@1.5s is due at 1.5s, but the run lasts 1s"},
      // Limits say how far they go.
      {{"--for", "99999999999999s"}, 2, "for is a duration of up to 1000000000s"},
      {{"--polls", "1e20"}, 2, "polls is a whole count from 1 to 18446744073709551615"},
  });
}

TEST(InputCheck, AConfigFileIsReadAsItsAuthorMeantIt) {
  Folder folder;
  // A scenario beside the config file, named relative to it, and a file
  // saved with a byte-order mark.
  std::ifstream quick(kScenarios + "/quick.scn");
  const std::string text((std::istreambuf_iterator<char>(quick)), std::istreambuf_iterator<char>());
  folder.Write("site.scn", text);
  const std::string config = folder.Write(
      "site.conf", "\xEF\xBB\xBFinterval = 20ms\npolls = 2\n[instance]\nsimulate = site.scn\ntimeout = 5\n");
  const std::string gates = folder.Write("two.gates", "# the panel's alarms\nCP1Z3\nCP1Z12\n");
  Check({
      {{"--config", config}, 0, "instance 1  pts/"},
      // A gate list and discovery together: the list, and discovery on top.
      {Fast({"--simulate", kScenarios + "/quick.scn", "--gates", gates, "--discover", "--polls", "4"}), 0,
       "gates       2 from " + gates + "; discovery: every gate the driver asks for"},
  });
}

// "t" on every JSON event, always with three decimals.
void ExpectTimedJson(const std::string &out) {
  const std::regex stamped(R"(^\{"event":"[a-z]+","t":[0-9]+\.[0-9]{3}[,}])");
  int events = 0;
  for (const std::string &line : Lines(out)) {
    EXPECT_TRUE(std::regex_search(line, stamped)) << line;
    ++events;
  }
  EXPECT_GT(events, 3) << out;
}

TEST(InputCheck, EveryOutputOfASimulatedRunSaysSo) {
  const std::string label = "SIMULATED PANEL: instance 1 plays demo";
  Program lines(Fast({"--polls", "2"}));  // no port: the demo panel
  ASSERT_TRUE(lines.started());
  ASSERT_EQ(lines.Wait(), 0) << lines.err();
  EXPECT_EQ(lines.out().rfind(label, 0), 0u) << lines.out();

  Program json(Fast({"--polls", "2", "--json"}));
  ASSERT_TRUE(json.started());
  ASSERT_EQ(json.Wait(), 0) << json.err();
  ExpectTimedJson(json.out());
  EXPECT_NE(json.out().find(R"("event":"instance",)"), std::string::npos) << json.out();
  EXPECT_NE(json.out().find(R"(,"simulated":true,"scenario":"demo",)"), std::string::npos);
  EXPECT_NE(json.out().find(R"({"event":"end","t":)"), std::string::npos);

  Program screen(Fast({}), /*on_terminal=*/true);
  ASSERT_TRUE(screen.started());
  EXPECT_TRUE(screen.WaitForOutput(label, 10s)) << screen.out();
  screen.Type("q");
  // The last frames tell whether the key was taken and where the shutdown stood.
  EXPECT_EQ(screen.Wait(10s), 0) << screen.err() << "\nthe screen's last output:\n"
                                 << screen.out().substr(screen.out().size() -
                                                        std::min<std::size_t>(screen.out().size(), 4000));

  // A real port is no simulation, and is not labelled as one.
  panelsim::Simulator panel(panelsim::Scenario{}, panelsim::Options{});
  std::string error;
  ASSERT_TRUE(panel.Start(&error)) << error;
  Program real(Fast({"--port", panel.SlavePath().substr(5), "--polls", "2", "--json"}));
  ASSERT_TRUE(real.started());
  ASSERT_EQ(real.Wait(), 0) << real.err();
  ExpectTimedJson(real.out());
  EXPECT_NE(real.out().find(R"(,"simulated":false,)"), std::string::npos) << real.out();
  EXPECT_EQ(real.out().find("SIMULATED"), std::string::npos) << real.out();
}

}  // namespace
