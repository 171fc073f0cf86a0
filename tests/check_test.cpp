#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

class CheckMode : public testing::Test {
 protected:
  CheckMode() : pack_(dir_.path(), "Q Pack.app") {}

  std::string expectedLine(const std::string& mps, bool ok, const std::string& pythonVersion,
                           const std::string& torch, bool weights = true,
                           const std::string& error = "") const {
    return "{" + (error.empty() ? "" : "\"error\":" + error + ",") + "\"format\":1,\"mps\":" + mps +
           ",\"ok\":" + (ok ? "true" : "false") + ",\"pack\":\"1.0\",\"python\":\"" +
           pack_.interpreter().string() + "\",\"python_version\":" + pythonVersion +
           ",\"torch\":" + torch + ",\"weights\":" + (weights ? "true" : "false") + "}\n";
  }

  TempDir dir_;
  PackFixture pack_;
};

TEST_F(CheckMode, NoInterpreterStillWritesTheWholeReport) {
  pack_.writeStandardInfo("1.0", 1);
  pack_.writeWeights();
  auto result = pack_.run({"--check"});
  EXPECT_EQ(result.out, expectedLine("false", false, "null", "null"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "");
}

TEST_F(CheckMode, AHealthyPackIsUsable) {
  pack_.writeStandardInfo("1.0", 1);
  pack_.writeWeights();
  pack_.writeInterpreterPrinting(
      "torch banner\n{\"python_version\": \"3.11.9\", \"torch\": \"2.3.1\", \"mps\": true}\n");
  auto result = pack_.run({"--check"});
  EXPECT_EQ(result.out, expectedLine("true", true, "\"3.11.9\"", "\"2.3.1\""));
  EXPECT_EQ(result.status, 0);
}

TEST_F(CheckMode, ProbeFailuresEndInAnEmptyAnswer) {
  struct Case {
    const char* name;
    std::string script;  // body of the stand-in interpreter; empty: no interpreter file
    bool executable;
  };
  const Case cases[] = {
      {"no interpreter file", "", true},
      {"not executable", "echo '{\"torch\":\"2\"}'\n", false},
      {"cannot be started", "#!/nonexistent/interpreter\n", true},
      {"prints nothing", "exit 0\n", true},
      {"only line feeds", "printf '\\n\\n'\n", true},
      {"text after the answer", "echo '{\"torch\":\"2\"}'; echo done\n", true},
      {"a partial line from a dying child", "printf '{\"torch\":\"2'; kill -9 $$\n", true},
      {"an array", "echo '[\"torch\"]'\n", true},
      {"the empty object", "echo '{}'\n", true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path(), "Q Pack.app");
    pack.writeStandardInfo("1.0", 1);
    pack.writeWeights();
    if (!c.script.empty()) {
      if (c.script.rfind("#!", 0) == 0) {
        writeFile(pack.interpreter(), c.script);
        fs::permissions(pack.interpreter(), fs::perms::owner_all);
      } else {
        writeScript(pack.interpreter(), c.script);
      }
      if (!c.executable) {
        fs::permissions(pack.interpreter(), fs::perms::owner_read | fs::perms::owner_write);
      }
    }
    auto result = pack.run({"--check"});
    EXPECT_NE(result.out.find("\"mps\":false,\"ok\":false,"), std::string::npos) << c.name;
    EXPECT_NE(result.out.find("\"python_version\":null,\"torch\":null,"), std::string::npos)
        << c.name;
    EXPECT_EQ(result.status, 1) << c.name;
  }
}

TEST_F(CheckMode, AnswerSurvivesAFailingExitStatusAndKeepsItsKinds) {
  pack_.writeStandardInfo("1.0", 1);
  pack_.writeWeights();
  pack_.writeInterpreterPrinting(
      "{\"python_version\": null, \"torch\": \"\", \"error\": {\"z\": [1, 2.5], \"a\": "
      "\"caf\\u00e9 \xFF/\"}}\r\n",
      3);
  auto result = pack_.run({"--check"});
  EXPECT_EQ(result.out, expectedLine("false", true, "null", "\"\"", true,
                                     "{\"a\":\"caf\xC3\xA9 \xEF\xBF\xBD/\",\"z\":[1,2.5]}"));
  EXPECT_EQ(result.status, 0);
}

TEST_F(CheckMode, UsableOnlyWithTorchWeightsAndFormatOne) {
  struct Case {
    const char* name;
    std::string answer;
    long long format;
    bool weights;
    int status;
  };
  const Case cases[] = {
      {"all hold", "{\"torch\":\"2.1\"}", 1, true, 0},
      {"torch a number", "{\"torch\":2.1}", 1, true, 1},
      {"no weights", "{\"torch\":\"2.1\"}", 1, false, 1},
      {"format 2", "{\"torch\":\"2.1\"}", 2, true, 1},
      {"format 0", "{\"torch\":\"2.1\"}", 0, true, 1},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeStandardInfo("1.0", c.format);
    if (c.weights) {
      pack.writeWeights();
    }
    pack.writeInterpreterPrinting(c.answer + "\n");
    auto result = pack.run({"--check"});
    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_NE(result.out.find(c.status == 0 ? "\"ok\":true" : "\"ok\":false"), std::string::npos)
        << c.name;
  }
}

TEST_F(CheckMode, TheInterpreterIsStartedAsThePackExpects) {
  pack_.writeStandardInfo("1.0", 1);
  pack_.installRecordingInterpreter();
  fs::path record = dir_.path() / "record";
  RunOptions options;
  options.environment = {{"QP_TEST_RECORD", record.string()},
                         {"HF_HUB_OFFLINE", "0"},
                         {"HF_HOME", "/elsewhere"},
                         {"UNRELATED", "kept as is"}};
  // A caller's environment may hold a name twice; only the pack's value may reach the child.
  options.rawEnvironment = {"HF_HOME=/again", "HF_HUB_OFFLINE=0", "HF_HOME_OLD=/old",
                            "PYTHONDONTWRITEBYTECODE=0"};
  options.workingDirectory = dir_.path();
  pack_.run({"--check"}, options);
  std::string text = readFile(record);

  std::string script =
      "import json, sys\\nout = {\"python_version\": sys.version.split()[0]}\\ntry:\\n    import "
      "torch\\n    out[\"torch\"] = torch.__version__\\n    out[\"mps\"] = "
      "bool(torch.backends.mps.is_available())\\nexcept Exception as exc:\\n    out[\"error\"] = "
      "repr(exc)[:200]\\nprint(json.dumps(out))";
  EXPECT_NE(text.find("arg -I\narg -B\narg -c\narg " + script + "\nenv "), std::string::npos)
      << text;
  auto entriesNamed = [&text](const std::string& name) {
    std::vector<std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("env " + name + "=", 0) == 0) {
        values.push_back(line.substr(5 + name.size()));
      }
    }
    return values;
  };
  using Values = std::vector<std::string>;
  EXPECT_EQ(entriesNamed("HF_HOME"), Values{pack_.hfCache().string()});
  EXPECT_EQ(entriesNamed("HF_HUB_OFFLINE"), Values{"1"});
  EXPECT_EQ(entriesNamed("HF_HUB_DISABLE_TELEMETRY"), Values{"1"});
  EXPECT_EQ(entriesNamed("PYTHONDONTWRITEBYTECODE"), Values{"1"});
  EXPECT_EQ(entriesNamed("HF_HOME_OLD"), Values{"/old"}) << "a longer name is another variable";
  EXPECT_EQ(entriesNamed("UNRELATED"), Values{"kept as is"});
  EXPECT_NE(text.find("fd 0 /dev/null\n"), std::string::npos) << "standard input inherited";
  EXPECT_NE(text.find("fd 2 /dev/null\n"), std::string::npos);
  EXPECT_NE(text.find("cwd " + dir_.path().string() + "\n"), std::string::npos);
  EXPECT_NE(text.find("sigign 0000000000000000\n"), std::string::npos)
      << "broken pipes are ignored by the pack, not by its interpreter";
}

TEST_F(CheckMode, ClosedStandardStreamsAreNotTakenByThePipe) {
  pack_.writeStandardInfo("1.0", 1);
  pack_.writeWeights();
  pack_.installRecordingInterpreter();
  fs::path record = dir_.path() / "record";
  fs::path answer = dir_.path() / "answer";
  writeFile(answer, "{\"torch\":\"2.1\"}\n");
  for (Stream closed : {Stream::Closed, Stream::Null}) {
    RunOptions options;
    options.environment = {{"QP_TEST_RECORD", record.string()},
                           {"QP_TEST_OUTPUT", answer.string()}};
    options.input = closed;
    options.error = closed;
    auto result = pack_.run({"--check"}, options);
    EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << result.out;
    EXPECT_EQ(result.status, 0);
    std::string text = readFile(record);
    EXPECT_EQ(text.find("fd 0 ") != std::string::npos, closed == Stream::Null) << text;
    EXPECT_NE(text.find("fd 1 pipe:"), std::string::npos) << text;
    EXPECT_NE(text.find("fd 2 /dev/null\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("fd 3 "), std::string::npos) << text;
  }
  // With standard output closed the report goes nowhere, but the status still answers; with
  // standard input closed too, the pipe's ends come as 0 and 1 and must be moved above them.
  for (Stream input : {Stream::Null, Stream::Closed}) {
    RunOptions options;
    options.environment = {{"QP_TEST_RECORD", record.string()},
                           {"QP_TEST_OUTPUT", answer.string()}};
    options.input = input;
    options.output = Stream::Closed;
    EXPECT_EQ(pack_.run({"--check"}, options).status, 0);
    EXPECT_NE(readFile(record).find("fd 1 pipe:"), std::string::npos);
  }
}

TEST_F(CheckMode, AReaderThatWentAwayDoesNotChangeTheStatus) {
  pack_.writeStandardInfo("1.0", 1);
  pack_.writeWeights();
  for (auto [answer, status] : {std::pair{"{\"torch\":\"2\"}", 0}, std::pair{"{}", 1}}) {
    pack_.writeInterpreterPrinting(std::string(answer) + "\n");
    RunOptions options;
    options.output = Stream::BrokenPipe;
    auto result = pack_.run({"--check"}, options);
    EXPECT_EQ(result.status, status) << answer;
  }
}

TEST_F(CheckMode, APathThatIsNotUtf8GivesTheEmptyObject) {
  TempDir dir;
  PackFixture pack(dir.path(), "caf\xE9.app");
  pack.writeStandardInfo("1.0", 1);
  auto result = pack.run({"--check"});
  EXPECT_EQ(result.out, "{}\n");
  EXPECT_EQ(result.status, 1);
}

// --explain tells a pack maker what is wrong, naming the path or file, on standard error; the
// report and the status stay those of the plain check, which writes nothing to standard error.
TEST_F(CheckMode, ExplainNamesWhatIsWrongWithoutChangingTheAnswer) {
  const std::string answer = "{\"python_version\":\"3.11\",\"torch\":\"2.1\"}";
  struct Case {
    const char* name;
    std::function<void(PackFixture&, const fs::path&)> breakIt;
    std::string named;  // what the explanation must say
  };
  const Case cases[] = {
      {"no interpreter", [](PackFixture&, const fs::path&) {}, "interpreter: not found: "},
      {"an interpreter that is not executable",
       [&](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(answer);
         fs::permissions(p.interpreter(), fs::perms::owner_read);
       },
       "interpreter: not executable: "},
      {"an interpreter that exits 3",
       [](PackFixture& p, const fs::path&) {
         writeScript(p.interpreter(), "echo 'Fatal Python error: no encodings' >&2\nexit 3\n");
       },
       "exited with status 3"},
      {"its standard error, when it gave no answer",
       [](PackFixture& p, const fs::path&) {
         writeScript(p.interpreter(), "echo 'Fatal Python error: no encodings' >&2\nexit 3\n");
       },
       "| Fatal Python error: no encodings"},
      {"a script without #!",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.interpreter(), "echo hello\n");
         fs::permissions(p.interpreter(), fs::perms::owner_all);
       },
       "could not be started: Exec format error"},
      {"no config.json",
       [&](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(answer);
         fs::remove(p.modelDir() / "snapshots/abc123/config.json");
       },
       "config.json: missing: "},
      {"refs/main naming a missing snapshot",
       [&](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(answer);
         writeFile(p.modelDir() / "refs/main", "def456\n");
       },
       "no snapshot \"def456\" (snapshots holds abc123)"},
      {"a format written as a string",
       [&](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(answer);
         p.writeInfoPlist("<key>RuvizuvePackFormat</key><string>1</string>\n");
       },
       "format: 0, the default: RuvizuvePackFormat in Info.plist is a string, not an integer"},
      {"an Info.plist that can't be read",
       [&](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(answer);
         writeFile(p.bundle() / "Contents/Info.plist", "<plist><dict><key>x</dict>");
       },
       "Info.plist: not read: "},
      {"an interpreter linked outside the bundle",
       [&](PackFixture& p, const fs::path& outside) {
         writeScript(outside / "python3", "echo '" + answer + "'\n");
         fs::create_directories(p.interpreter().parent_path());
         fs::create_symlink(outside / "python3", p.interpreter());
       },
       "leads outside the bundle, to "},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeStandardInfo("1.0", 1);
    pack.writeWeights();
    c.breakIt(pack, dir.path());
    auto plain = pack.run({"--check"});
    auto explained = pack.run({"--check", "--explain"});
    EXPECT_EQ(explained.out, plain.out) << c.name;
    EXPECT_EQ(explained.status, plain.status) << c.name;
    EXPECT_EQ(plain.err, "") << c.name;
    EXPECT_NE(explained.err.find(c.named), std::string::npos) << c.name << ":\n" << explained.err;
  }
}

}  // namespace
