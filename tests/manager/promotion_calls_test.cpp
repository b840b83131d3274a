// reset and the promotion calls against the scripted console.
#include <gtest/gtest.h>

#include <algorithm>

#include "console_fixture.h"
#include "kivo/application_request.h"
#include "kivo/http.h"
#include "platform/user_defaults.h"
#include "support/settings.h"

namespace kivo::test {
namespace {

using Fields = std::map<std::string, std::string>;

class PromotionCalls : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    const auto record = [this](const httplib::Request& request, httplib::Response& response) {
      Fields fields{{"app", request.get_header_value("X-Kivo-Application-Id")}};
      for (const auto& [name, field] : request.files) fields[name] = field.content;
      std::lock_guard lock(mutex);
      received.emplace_back(request.method + " " + request.target, std::move(fields));
      response.status = status;
      response.set_content(reply, "application/json");
    };
    server->on("/api/promotion(/.*)?", record);
    server->on("/api/bookmark(/.*)?", record);
  }
  KIVOManager::ResponseHandler completion() {
    return [this](std::optional<Bytes> body, std::optional<Error> error) {
      answers.emplace_back(body ? std::optional<std::string>(std::string(body->begin(), body->end())) : std::nullopt,
                           error ? error->code : 0);
    };
  }
  void waitForAnswers(size_t n) { EXPECT_TRUE(pumpMainUntil([&] { return answers.size() == n; })); }

  int status = 200;
  std::string reply = "{}";
  std::vector<std::pair<std::string, Fields>> received;  // guarded by mutex
  std::vector<std::pair<std::optional<std::string>, int64_t>> answers;
};

TEST_F(PromotionCalls, EachCallSendsItsRowWithEncodedIds) {
  const std::string s = manager->sessionID();
  KIVOApplicationRequest quiz("item/1", "m1", 0);
  quiz.answer = "x";
  quiz.quizCorrection = true;
  manager->applyRequest(quiz, completion());
  manager->bookmarkPromotionWithPromotionID(std::nullopt, completion());
  manager->bookmarkPromotionWithPromotionID("p 1", completion());
  manager->unsetBookmarkWithID("b/1?x#y&z", completion());
  manager->getPromotionWithSize(10, 20, completion());
  manager->getStateWithPromotionItemID("i 1/é", {});
  waitForAnswers(5);
  ASSERT_TRUE(pumpMainUntil([&] { return server->requestCount() == 6; }));
  const std::pair<std::string, Fields> expected[] = {
      {"POST /api/promotion",
       {{"app", "app"}, {"session", s}, {"promo_id", "item/1"}, {"media_id", "m1"}, {"answer", "x"}, {"is_correct", "1"}}},
      {"POST /api/bookmark", {{"app", "app"}, {"session", s}}},
      {"POST /api/bookmark", {{"app", "app"}, {"session", s}, {"item_id", "p 1"}}},
      {"DELETE /api/bookmark/b%2F1%3Fx%23y&z", {{"app", "app"}, {"session", s}}},
      {"GET /api/promotion?session=" + s + "&size=10&offset=20", {{"app", "app"}}},
      {"GET /api/promotion/i%201%2F%C3%A9?session=" + s, {{"app", "app"}}}};
  std::lock_guard lock(mutex);
  for (const auto& want : expected)
    EXPECT_NE(std::find(received.begin(), received.end(), want), received.end()) << want.first;
  EXPECT_EQ(answers, decltype(answers)(5, {"{}", 0}));
  EXPECT_FALSE(log->contains("failed request apply promotion"));
}

TEST_F(PromotionCalls, FailuresReachTheCallerAsTheyCame) {
  status = 500;
  reply = "oops";
  manager->getPromotionWithSize(1, 0, completion());
  waitForAnswers(1);
  EXPECT_TRUE(log->contains("failed request apply promotion"));
  // Requests that cannot be formed are not sent, and the caller still hears of them.
  manager->unsetBookmarkWithID("", completion());
  manager->getStateWithPromotionItemID("", completion());
  manager->applyRequest(KIVOApplicationRequest(std::nullopt, "m1", 0), completion());
  waitForAnswers(4);
  EXPECT_EQ(server->requestCount(), 1u);
  EXPECT_EQ(answers, (decltype(answers){{"oops", 0},
                                        {std::nullopt, KIVOHTTPErrorBadURL},
                                        {std::nullopt, KIVOHTTPErrorBadURL},
                                        {std::nullopt, KIVOHTTPErrorBadURL}}));
}

TEST_F(PromotionCalls, ResetWipesWhatWasLearntAndForgetsTheLastHit) {
  UserDefaults::standard()->set(std::string(settings::kLastVersionKey), "20250101000000");
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  waitFor(KIVOPrepareStatusCompleted, 1);
  writeFile(dataFile("KIVOAudioDB.pack"), Bytes{1, 2, 3});
  manager->hitManager()->hitWithIdentifier("A", 0.0);
  manager->reset();
  EXPECT_TRUE(log->contains("Finished to reset KIVO"));
  EXPECT_FALSE(std::filesystem::exists(dataFile("KIVOAudioDB.pack")));
  EXPECT_FALSE(stored(settings::kTokenKey) || stored(settings::kLastVersionKey) || manager->token());
  EXPECT_TRUE(manager->hitManager()->canHitWithIdentifier("A", 0.0));
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusCompleted);
  manager->reset();  // no dump left: no error line
  EXPECT_FALSE(log->contains("ERROR:"));
  const auto kept = manager->hitManager();
  manager->setHitManager(nullptr);
  EXPECT_EQ(manager->hitManager(), kept);

  manager->stop();
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  waitFor(KIVOPrepareStatusCompleted, 2);
  EXPECT_EQ(authForm(0)["v"], "20250101000000");
  EXPECT_EQ(authForm(1)["v"], "19990101000000");
}

}  // namespace
}  // namespace kivo::test
