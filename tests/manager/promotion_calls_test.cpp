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

struct Received {
  std::string method, target, appID;
  std::map<std::string, std::string> fields;
};

class PromotionCalls : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    const auto record = [this](const httplib::Request& request, httplib::Response& response) {
      Received r{request.method, request.target, request.get_header_value("X-Kivo-Application-Id"), {}};
      for (const auto& [name, field] : request.files) r.fields[name] = field.content;
      std::lock_guard lock(mutex);
      received.push_back(std::move(r));
      response.status = status;
      response.set_content(reply, "application/json");
    };
    server->on("/api/promotion(/.*)?", record);
    server->on("/api/bookmark(/.*)?", record);
  }

  // The completion of a call: records what it got.
  KIVOManager::ResponseHandler completion() {
    return [this](std::optional<Bytes> body, std::optional<Error> error) {
      answers.emplace_back(body ? std::optional<std::string>(std::string(body->begin(), body->end())) : std::nullopt,
                           error);
    };
  }
  void waitForAnswers(size_t n) {
    EXPECT_TRUE(pumpMainUntil([&] { return answers.size() == n; })) << answers.size();
  }

  int status = 200;
  std::string reply = "{}";
  std::vector<Received> received;  // guarded by mutex
  std::vector<std::pair<std::optional<std::string>, std::optional<Error>>> answers;
};

TEST_F(PromotionCalls, EachCallSendsItsRowWithEncodedIds) {
  const std::string session = manager->sessionID();
  KIVOApplicationRequest quiz("item/1", "m1", 0);
  quiz.answer = "x";
  quiz.quizCorrection = true;
  manager->applyRequest(quiz, completion());
  manager->bookmarkPromotionWithPromotionID(std::nullopt, completion());
  manager->bookmarkPromotionWithPromotionID("p 1", completion());
  manager->unsetBookmarkWithID("b/1?x#y&z", completion());
  manager->getPromotionWithSize(10, 20, completion());
  manager->getStateWithPromotionItemID("i 1/é", completion());
  manager->getStateWithPromotionItemID("plain-7", {});
  waitForAnswers(6);
  ASSERT_TRUE(pumpMainUntil([&] { return server->requestCount() == 7; }));

  using Fields = std::map<std::string, std::string>;
  const std::vector<Received> expected = {
      {"POST", "/api/promotion", "app",
       Fields{{"session", session}, {"promo_id", "item/1"}, {"media_id", "m1"}, {"answer", "x"}, {"is_correct", "1"}}},
      {"POST", "/api/bookmark", "app", Fields{{"session", session}}},
      {"POST", "/api/bookmark", "app", Fields{{"session", session}, {"item_id", "p 1"}}},
      {"DELETE", "/api/bookmark/b%2F1%3Fx%23y&z", "app", Fields{{"session", session}}},
      {"GET", "/api/promotion?session=" + session + "&size=10&offset=20", "app", {}},
      {"GET", "/api/promotion/i%201%2F%C3%A9?session=" + session, "app", {}},
      {"GET", "/api/promotion/plain-7?session=" + session, "app", {}},
  };
  std::lock_guard lock(mutex);
  ASSERT_EQ(received.size(), expected.size());
  for (const auto& want : expected) {
    const bool found = std::any_of(received.begin(), received.end(), [&](const Received& got) {
      return got.method == want.method && got.target == want.target && got.appID == want.appID &&
             (want.method == "GET" || got.fields == want.fields);
    });
    EXPECT_TRUE(found) << want.method << " " << want.target;
  }
  for (const auto& [body, error] : answers) {
    EXPECT_EQ(body, "{}");
    EXPECT_FALSE(error);
  }
  EXPECT_FALSE(log->contains("failed request apply promotion"));
}

TEST_F(PromotionCalls, FailuresReachTheCallerAsTheyCame) {
  status = 500;
  reply = "oops";
  manager->getPromotionWithSize(1, 0, completion());
  waitForAnswers(1);
  EXPECT_EQ(answers[0].first, "oops");
  EXPECT_FALSE(answers[0].second);
  EXPECT_TRUE(log->contains("failed request apply promotion"));

  // Requests that cannot be formed are not sent, and the caller still hears of them.
  manager->unsetBookmarkWithID("", completion());
  manager->getStateWithPromotionItemID("", completion());
  manager->applyRequest(KIVOApplicationRequest(std::nullopt, "m1", 0), completion());
  waitForAnswers(4);
  EXPECT_EQ(server->requestCount(), 1u);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_FALSE(answers[i].first);
    ASSERT_TRUE(answers[i].second);
    EXPECT_EQ(answers[i].second->code, KIVOHTTPErrorBadURL);
  }
}

TEST_F(PromotionCalls, ResetWipesWhatWasLearntAndForgetsTheLastHit) {
  UserDefaults::standard()->set(std::string(settings::kLastVersionKey), "20250101000000");
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  waitFor(KIVOPrepareStatusCompleted, 1);
  EXPECT_EQ(authForm(0)["v"], "20250101000000");
  EXPECT_EQ(manager->token(), "tok");
  writeFile(dataFile("KIVOAudioDB.pack"), Bytes{1, 2, 3});
  manager->hitManager()->hitWithIdentifier("A", 0.0);
  EXPECT_FALSE(manager->hitManager()->canHitWithIdentifier("A", 0.0));

  manager->reset();
  EXPECT_TRUE(log->contains("Resetting KIVO: All UserDefaults and Files will removed"));
  EXPECT_TRUE(log->contains("Finished to reset KIVO"));
  EXPECT_FALSE(std::filesystem::exists(dataFile("KIVOAudioDB.pack")));
  EXPECT_FALSE(stored(settings::kTokenKey) || stored(settings::kLastVersionKey) || manager->token());
  EXPECT_TRUE(manager->hitManager()->canHitWithIdentifier("A", 0.0));
  EXPECT_EQ(manager->hitManager()->policy(), KIVOContinuousHitPolicyOnce);
  EXPECT_EQ(manager->prepareStatus(), KIVOPrepareStatusCompleted);

  manager->reset();  // no dump left: no error line
  EXPECT_FALSE(log->contains("ERROR:"));

  const auto kept = manager->hitManager();
  manager->setHitManager(nullptr);
  EXPECT_EQ(manager->hitManager(), kept);

  manager->stop();
  manager->prepareWithType(KIVOManagerDetectTypeCloud);
  waitFor(KIVOPrepareStatusCompleted, 2);
  EXPECT_EQ(authForm(1)["v"], "19990101000000");
}

}  // namespace
}  // namespace kivo::test
