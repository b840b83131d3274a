#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "kivo/audio_db.h"

namespace {

TEST(HashedStrTest, HashFoldsEachByteAsSignedEightBits) {
  struct Case {
    const char* bytes;
    uint32_t hash;
  };
  const Case cases[] = {
      {"", 15885588u},
      {"a", 492453133u},
      {"abc", 801061196u},
      {"\x80", 3802514156u},        // -128 sign-extended
      {"\xff", 3802514067u},        // -1; read unsigned it would be 492453267
      {"caf\xc3\xa9", 1018675582u}, // UTF-8 "café"; read unsigned 1018671998
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(hstr_from_str(c.bytes).hash, c.hash);
    HashedStr owned;
    ASSERT_EQ(hstr_init_from_str(&owned, c.bytes), 1);
    EXPECT_EQ(owned.hash, c.hash);
    EXPECT_NE(owned.str, c.bytes);
    EXPECT_STREQ(owned.str, c.bytes);
    hstr_reset(&owned);
  }
}

TEST(HashedStrTest, NoStringIsNoneWithHashZero) {
  const HashedStr borrowed = hstr_from_str(nullptr);
  EXPECT_EQ(borrowed.str, nullptr);
  EXPECT_EQ(borrowed.hash, 0u);
  HashedStr owned = {const_cast<char*>("stale"), 7};
  ASSERT_EQ(hstr_init_from_str(&owned, nullptr), 1);
  EXPECT_EQ(owned.str, nullptr);
  EXPECT_EQ(owned.hash, 0u);
  hstr_reset(nullptr);  // ignored
}

TEST(HashedStrTest, InitFromOtherCopiesStringAndTakesHashAsIs) {
  const HashedStr tagged = {const_cast<char*>("x"), 42};
  HashedStr copy;
  ASSERT_EQ(hstr_init_from_other(&copy, &tagged), 1);
  EXPECT_STREQ(copy.str, "x");
  EXPECT_NE(copy.str, tagged.str);
  EXPECT_EQ(copy.hash, 42u);
  hstr_reset(&copy);
  EXPECT_EQ(copy.str, nullptr);
  EXPECT_EQ(copy.hash, 0u);

  const HashedStr none = {nullptr, 0};
  ASSERT_EQ(hstr_init_from_other(&copy, &none), 1);
  EXPECT_EQ(copy.str, nullptr);
}

TEST(HashedStrTest, SetStrToItsOwnStringKeepsIt) {
  HashedStr h;
  ASSERT_EQ(hstr_init_from_str(&h, "media-1"), 1);
  ASSERT_EQ(hstr_set_str(&h, h.str), 1);
  EXPECT_STREQ(h.str, "media-1");
  EXPECT_EQ(h.hash, hstr_from_str("media-1").hash);
  ASSERT_EQ(hstr_set_str(&h, "media-2"), 1);
  EXPECT_STREQ(h.str, "media-2");
  EXPECT_EQ(h.hash, hstr_from_str("media-2").hash);
  ASSERT_EQ(hstr_set_str(&h, nullptr), 1);
  EXPECT_EQ(h.str, nullptr);
  EXPECT_EQ(h.hash, 0u);
}

TEST(HashedStrTest, EqualityNeedsEqualHashesThenComparesBytes) {
  // "!a" and "\"@" really collide: (h*31 ^ 0x21)*31 ^ 0x61 == (h*31 ^ 0x22)*31 ^ 0x40.
  ASSERT_EQ(hstr_from_str("!a").hash, hstr_from_str("\"@").hash);
  char bytesA[] = "abc";
  char bytesB[] = "abc";
  const HashedStr none = {nullptr, 0};
  const HashedStr a = hstr_from_str(bytesA);
  const HashedStr b = hstr_from_str(bytesB);
  const HashedStr aWrongHash = {bytesA, a.hash + 1};
  const HashedStr noneWithHash = {nullptr, a.hash};
  struct Case {
    HashedStr left, right;
    bool equal;
  };
  const Case cases[] = {
      {none, none, true},
      {a, a, true},
      {a, b, true},               // distinct copies, same bytes
      {hstr_from_str("!a"), hstr_from_str("\"@"), false},  // equal hashes, different bytes
      {a, aWrongHash, false},     // same pointer, hashes differ
      {a, noneWithHash, false},   // one side has no string
      {noneWithHash, a, false},
      {a, hstr_from_str("abd"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.left.str ? c.left.str : "(none)") << " vs "
                                    << (c.right.str ? c.right.str : "(none)"));
    EXPECT_EQ(hstr_eq(&c.left, &c.right), c.equal);
  }
}

TEST(HashedStrTest, EqStrComparesStringsWithoutHash) {
  char bytes[] = "abc";
  const HashedStr stale = {bytes, 1};  // hash is ignored
  const HashedStr none = {nullptr, 0};
  EXPECT_TRUE(hstr_eq_str(&stale, bytes));
  EXPECT_TRUE(hstr_eq_str(&stale, "abc"));
  EXPECT_FALSE(hstr_eq_str(&stale, "abd"));
  EXPECT_FALSE(hstr_eq_str(&stale, nullptr));
  EXPECT_FALSE(hstr_eq_str(&none, "abc"));
  EXPECT_TRUE(hstr_eq_str(&none, nullptr));
}

}  // namespace
