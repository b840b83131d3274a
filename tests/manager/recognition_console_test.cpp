// Whole runs against kivo-console on 127.0.0.1 (HTTPS, its throw-away certificate): IAR (with the console's pack downloaded and its
// campaign reported back), CLOUD and LIVE each recognise the right media from a distorted recording.
#include <gtest/gtest.h>

#include <fstream>

#include "audiopack/audio_pack_dumper.h"
#include "kivo/afp_generator.h"
#include "recognition_fixture.h"
#include "server/catalogue.h"
#include "server/console_server.h"

namespace kivo::test {
namespace {

class ConsoleRecognitionTest : public RecognitionTest {
 protected:
  void SetUp() override {
    RecognitionTest::SetUp();
    const auto dir = dataFile("console");
    std::filesystem::create_directories(dir);
    auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(dir / "ref.pack");
    nlohmann::json media = nlohmann::json::object();
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      const std::string id = "m" + std::to_string(seed);
      dumper->addAFP({id, 0, *AFPFromPCM(piece(seed))});
      media[id] = {{"type", "cf"}, {"title", "Piece " + std::to_string(seed)}, {"_id", id}};
    }
    ASSERT_TRUE(dumper->finishWithMetadata({{"media", media}}));
    const nlohmann::json seed = {
        {"applications", {{{"app_id", "demo"}, {"secret_key", "s3cret"}, {"pack", "default"}}}},
        {"packs", {{{"name", "default"}, {"file", "ref.pack"}}}},
        {"media", {{"m2", {{"channel", "Radio 2"}}}}},
        {"campaigns", {{{"_id", "c1"}, {"media_id", "m2"}, {"name", "Quiz night"},
                        {"end_date", "2099-01-01T00:00:00+0000"},
                        {"items", {{{"_id", "c1-url"}, {"type", "url"}, {"url", "https://example.invalid/"}}}}}}}};
    std::ofstream(dir / "seed.json") << seed.dump();
    console::ConsoleOptions options;
    options.dataDir = dir / "data";
    options.rateLimit = 0;
    options.keepAliveSeconds = 1;
    options.selfSigned = true;
    console_ = std::make_unique<console::ConsoleServer>(options);
    console::seedStore(console_->store(), dir / "seed.json", std::chrono::system_clock::now());
    console_->start();
    KIVOHTTP::setDefaultCertificateAuthorityFile(options.dataDir / "self-signed.pem");
    manager->setApiEndpoint(console_->baseURL());
    manager->setApplicationID("demo");
    manager->setSecretKey("s3cret");
  }
  void TearDown() override {
    RecognitionTest::TearDown();
    console_.reset();
  }

  // Prepares type against the console and waits for completion.
  void prepare(int32_t type) {
    manager->prepareWithType(type);
    ASSERT_TRUE(pumpMainUntil([&] { return manager->prepared(); })) << manager->prepareStatus();
  }

  std::unique_ptr<console::ConsoleServer> console_;
};

TEST_F(ConsoleRecognitionTest, EachTypeRecognisesTheRecording) {
  struct Row {
    int32_t type;
    bool repeat;
    double seconds;
  };
  for (const Row row : {Row{KIVOManagerDetectTypeIAR, false, 4.0}, Row{KIVOManagerDetectTypeCloud, false, 4.0},
                        Row{KIVOManagerDetectTypeLive, true, 11.0}}) {
    SCOPED_TRACE(NSStringFromKIVOManagerDetectType(row.type));
    results.clear();
    manager->hitManager()->reset();
    prepare(row.type);
    play(distortedExcerpt(piece(2), 12.0, 14.0));
    start(row.type, row.repeat);
    run(row.seconds);
    ASSERT_TRUE(waitResults(1)) << [&] {
      std::string all;
      for (const auto& l : log->lines()) all += l + "\n";
      return all;
    }();
    EXPECT_EQ(resultIDs()[0], "m2");
    const auto& result = *results[0].first;
    if (row.type == KIVOManagerDetectTypeIAR) {
      EXPECT_EQ(result["campaign"]["_id"], "c1");  // the activity answer's campaign
      EXPECT_EQ(result["title"], "Piece 2");
    } else {
      EXPECT_EQ(result["result"]["title"], "Piece 2");
    }
    if (row.type == KIVOManagerDetectTypeLive) {
      EXPECT_EQ(result["channel"], "Radio 2");
    }
    EXPECT_EQ(manager->running(), row.repeat);
    manager->stop();
  }
}

}  // namespace
}  // namespace kivo::test
