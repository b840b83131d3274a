#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>
#include <thread>

#include "common/log_capture.h"
#include "common/memory_file_system.h"
#include "common/temp_dir.h"
#include "kivo/data_directory.h"

extern char** environ;

namespace {

using namespace kivo;
namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<fs::path> filesIn(const fs::path& directory) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(directory)) files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(UserDefaults, EveryValueTypeSurvivesAReload) {
  test::TempDir dir;
  const fs::path file = dir.path() / "nested" / "user-defaults.json";
  const PropertyDictionary everything{
      {"text", "héllo \"quoted\"\n"},
      {"int", int64_t{-9007199254740993}},
      {"real", 0.1},
      {"nan", std::nan("")},
      {"inf", -HUGE_VAL},
      {"flag", false},
      {"date", PropertyDate(std::chrono::nanoseconds(-123456789012345))},
      {"data", Bytes{0, 1, 2, 0xFF, 0x80}},
      {"empty data", Bytes{}},
      {"array", PropertyArray{1, "two", PropertyArray{}, PropertyDictionary{}}},
      {"$tagged-looking", PropertyArray{"string", "x"}},
  };
  {
    UserDefaults store(file);
    for (const auto& [key, value] : everything) store.set(key, value);
    store.set("gone", 1);
    store.remove("gone");
  }
  UserDefaults reloaded(file);
  for (const auto& [key, value] : everything) {
    auto got = reloaded.object(key);
    ASSERT_TRUE(got) << key;
    if (key == "nan")
      EXPECT_TRUE(std::isnan(*got->get<double>()));
    else
      EXPECT_EQ(*got, value) << key;
  }
  EXPECT_FALSE(reloaded.object("gone"));
  EXPECT_EQ(filesIn(file.parent_path()), std::vector<fs::path>{"user-defaults.json"});  // no temporary left
}

TEST(UserDefaults, AnUnreadableFileIsSetAsideAndTheStoreStartsEmpty) {
  const std::string bad[] = {
      "",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"string\", 1",
      "[]",
      "{\"values\": {}}",
      "{\"kivo-user-defaults\": 2, \"values\": {}}",
      "{\"kivo-user-defaults\": 1, \"values\": []}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": \"bare\"}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"integer\", 1.5]}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"integer\", 18446744073709551615]}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"data\", \"abc\"]}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"data\", \"a=bc\"]}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"date\", \"yesterday\"]}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"array\", [[\"bool\", 1]]]}}",
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": [\"colour\", \"red\"]}}",
      std::string(70, '[') + std::string(70, ']'),
      "{\"kivo-user-defaults\": 1, \"values\": {\"k\": " + [] {
        std::string deep;
        for (int i = 0; i < 100000; ++i) deep += "[\"array\", [";
        return deep + std::string(200000, ']');
      }() + "}}",
      std::string("\xff\xfe garbage\0 with nul", 20),
  };
  for (const auto& text : bad) {
    test::TempDir dir;
    const fs::path file = dir.path() / "user-defaults.json";
    writeText(file, text);
    test::LogCapture log;
    UserDefaults store(file);
    EXPECT_FALSE(store.object("k")) << text;
    auto files = filesIn(dir.path());
    ASSERT_EQ(files.size(), 1u) << text;
    EXPECT_EQ(files[0].string().rfind("user-defaults.json.corrupt-", 0), 0u);
    EXPECT_EQ(readText(dir.path() / files[0]), text);  // kept for diagnosis
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("[ERROR] KIVOUserDefaults: cannot read "), std::string::npos);
    store.set("k", "fresh");
    EXPECT_EQ(UserDefaults(file).object("k"), PropertyList("fresh"));
  }
}

TEST(UserDefaults, AFailedWriteKeepsTheValueInMemoryAndIsReported) {
  test::TempDir dir;
  writeText(dir.path() / "not-a-directory", "");
  test::LogCapture log;
  UserDefaults store(dir.path() / "not-a-directory" / "user-defaults.json");
  store.set("k", 1);
  EXPECT_EQ(store.object("k"), PropertyList(1));
  EXPECT_FALSE(store.synchronize());
  ASSERT_FALSE(log.lines().empty());
  EXPECT_NE(log.lines()[0].find("[ERROR] KIVOUserDefaults: failed to write "), std::string::npos);
}

// A crash after any number of writes leaves exactly the last whole state, never a mixture or none.
TEST(UserDefaults, EveryCrashPointLeavesTheOldOrTheNewSettings) {
  const fs::path file = "/data/user-defaults.json";
  constexpr int kChanges = 6;
  for (int crash = 0; crash <= kChanges; ++crash) {
    auto files = std::make_shared<test::MemoryFileSystem>();
    {
      test::LogCapture quiet;
      UserDefaults store(file, files);
      files->crashAfter(crash);
      for (int i = 1; i <= kChanges; ++i) {
        store.set("count", i);
        store.set("name", std::string(size_t(i) * 100, 'a'));  // the file grows with every change
      }
    }
    UserDefaults reopened(file, files);
    const int written = files->writes();
    const int count = written / 2 + written % 2;  // "count" and "name" are set alternately
    if (written == 0) {
      EXPECT_FALSE(reopened.object("count")) << crash;
    } else {
      EXPECT_EQ(reopened.object("count"), PropertyList(count)) << crash;
      const size_t name = size_t(written % 2 ? count - 1 : count) * 100;
      if (name) {
        EXPECT_EQ(reopened.object("name"), PropertyList(std::string(name, 'a'))) << crash;
      }
    }
  }
}

// Two stores of one file in one process write through distinct temporary files.
TEST(UserDefaults, TwoStoresOfOneFileNeverCollide) {
  test::TempDir dir;
  const fs::path file = dir.path() / "user-defaults.json";
  test::LogCapture log;
  {
    UserDefaults first(file), second(file);
    std::thread a([&] {
      for (int i = 0; i < 200; ++i) first.set("a", i);
    });
    std::thread b([&] {
      for (int i = 0; i < 200; ++i) second.set("b", i);
    });
    a.join();
    b.join();
  }
  EXPECT_TRUE(log.lines().empty()) << log.lines().front();
  UserDefaults reopened(file);
  EXPECT_TRUE(reopened.object("a") == PropertyList(199) || reopened.object("b") == PropertyList(199));
  EXPECT_EQ(filesIn(dir.path()), std::vector<fs::path>{"user-defaults.json"});
}

TEST(UserDefaults, StandardStoreFollowsTheDataDirectory) {
  test::TempDir first, second;
  setDataDirectory(first.path());
  UserDefaults::standard()->set("where", "first");
  setDataDirectory(second.path());
  EXPECT_FALSE(UserDefaults::standard()->object("where"));
  EXPECT_EQ(UserDefaults::standard()->file(), second.path() / "user-defaults.json");
  setDataDirectory(first.path());
  EXPECT_EQ(UserDefaults::standard()->object("where"), PropertyList("first"));
  setDataDirectory({});
}

TEST(UserDefaults, ConcurrentWritersLoseNothing) {
  test::TempDir dir;
  const fs::path file = dir.path() / "user-defaults.json";
  UserDefaults store(file);
  constexpr int kThreads = 6, kWrites = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        store.set("t" + std::to_string(t) + "." + std::to_string(i), i);
        store.update("shared", [&](const std::optional<PropertyList>& current) {
          PropertyDictionary dictionary;
          if (current && current->get<PropertyDictionary>()) dictionary = *current->get<PropertyDictionary>();
          dictionary["t" + std::to_string(t) + "." + std::to_string(i)] = true;
          return std::optional<PropertyList>(std::move(dictionary));
        });
      }
    });
  for (auto& thread : threads) thread.join();
  auto check = [&](const UserDefaults& view) {
    auto shared = view.object("shared");
    ASSERT_TRUE(shared && shared->get<PropertyDictionary>());
    EXPECT_EQ(shared->get<PropertyDictionary>()->size(), size_t{kThreads * kWrites});
    for (int t = 0; t < kThreads; ++t)
      for (int i = 0; i < kWrites; ++i) EXPECT_TRUE(view.object("t" + std::to_string(t) + "." + std::to_string(i)));
  };
  check(store);
  check(UserDefaults(file));  // and the file holds the final state
}

// Starts the writer helper with its stdout on a pipe; returns its pid and the pipe's read end.
std::pair<pid_t, int> spawnWriter(const fs::path& file, const char* mode) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::string path = file.string();
  char* argv[] = {const_cast<char*>(KIVO_USER_DEFAULTS_WRITER), path.data(), const_cast<char*>(mode), nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, KIVO_USER_DEFAULTS_WRITER, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  return {pid, fds[0]};
}

TEST(UserDefaults, AStoreWrittenByOneProcessIsReadByTheNext) {
  test::TempDir dir;
  const fs::path file = dir.path() / "user-defaults.json";
  auto [pid, out] = spawnWriter(file, "once");
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(out);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  UserDefaults store(file);
  EXPECT_EQ(store.object("text"), PropertyList("written by another process"));
  EXPECT_EQ(store.object("date"), PropertyList(PropertyDate(std::chrono::seconds(1740906303))));
  EXPECT_EQ(store.object("dict"), PropertyList(PropertyDictionary{{"tid", "I20250302090503007"}, {"n", 7}}));
}

TEST(UserDefaults, AWriterKilledAtRandomMomentsAlwaysLeavesACompleteState) {
  test::TempDir dir;
  const fs::path file = dir.path() / "user-defaults.json";
  std::mt19937 random(20250302);
  int64_t lastSeen = 0;
  for (int round = 0; round < 25; ++round) {
    auto [pid, out] = spawnWriter(file, "loop");
    int pairs = std::uniform_int_distribution<int>(1, 12)(random);
    char byte;
    for (int i = 0; i < pairs; ++i) ASSERT_EQ(::read(out, &byte, 1), 1);
    ::kill(pid, SIGKILL);  // lands somewhere in a later write
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(out);

    test::LogCapture log;
    UserDefaults store(file);
    EXPECT_TRUE(log.lines().empty()) << "round " << round;
    auto a = store.object("a");
    auto b = store.object("b");
    ASSERT_TRUE(a && a->get<int64_t>() && b && b->find("gen") && b->find("items")) << "round " << round;
    int64_t n = *a->get<int64_t>();
    int64_t gen = *b->find("gen")->get<int64_t>();
    EXPECT_TRUE(gen == n || gen == n - 1) << n << " " << gen;
    EXPECT_EQ(*b->find("items"), PropertyList(PropertyArray(static_cast<size_t>(gen % 64), PropertyList(gen))));
    EXPECT_GE(n, pairs);  // every write the child reported is on disk
    lastSeen = n;
  }
  EXPECT_GT(lastSeen, 0);
}

}  // namespace
