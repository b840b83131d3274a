#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "kivo/audio_db.h"

namespace {

// A pipe whose write end is filled with bytes and closed, so a read sees exactly those bytes.
class FilledPipe {
 public:
  explicit FilledPipe(const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(pipe(fds_), 0);
    EXPECT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds_[1]);
  }
  ~FilledPipe() { close(fds_[0]); }
  FilledPipe(const FilledPipe&) = delete;
  FilledPipe& operator=(const FilledPipe&) = delete;
  int fd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
};

std::vector<uint8_t> bytesOf(const AudioEntry& e) {
  return e.buffer == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(e.buffer, e.buffer + e.size);
}

TEST(AudioEntryTest, InitAndResetClearEverythingButSize) {
  AudioEntry e;
  adb_entry_init(&e, 0xA5);
  EXPECT_EQ(e.name.str, nullptr);
  EXPECT_EQ(e.buffer, nullptr);
  EXPECT_EQ(e.size, 0u);
  EXPECT_EQ(e.reserved, 0u);
  EXPECT_EQ(e.mask, 0xA5u);
  EXPECT_EQ(e.flag, 0u);
  EXPECT_EQ(e.next[0], nullptr);
  EXPECT_EQ(e.next[1], nullptr);

  ASSERT_EQ(adb_entry_set_name(&e, "m"), 1);
  ASSERT_EQ(adb_entry_init_buffer(&e, "12345678", 8), 1);
  e.reserved = 9;
  e.flag = 1;
  e.next[0] = e.next[1] = &e;
  adb_entry_reset(&e);
  EXPECT_EQ(e.name.str, nullptr);
  EXPECT_EQ(e.name.hash, 0u);
  EXPECT_EQ(e.buffer, nullptr);
  EXPECT_EQ(e.size, 8u);
  EXPECT_EQ(e.reserved, 0u);
  EXPECT_EQ(e.mask, 0u);
  EXPECT_EQ(e.flag, 0u);
  EXPECT_EQ(e.next[0], nullptr);
  EXPECT_EQ(e.next[1], nullptr);
}

TEST(AudioEntryTest, InitFromOtherIsADetachedCopyWithoutFingerprint) {
  AudioEntry other;
  adb_entry_init(&other, 3);
  ASSERT_EQ(adb_entry_set_name(&other, "media"), 1);
  ASSERT_EQ(adb_entry_init_buffer(&other, "abcdefgh", 8), 1);
  other.reserved = 77;
  other.flag = 1;
  AudioEntry a, b;
  other.next[0] = &a;
  other.next[1] = &b;

  AudioEntry copy;
  ASSERT_EQ(adb_entry_init_from_other(&copy, &other), 1);
  EXPECT_STREQ(copy.name.str, "media");
  EXPECT_NE(copy.name.str, other.name.str);
  EXPECT_EQ(copy.name.hash, other.name.hash);
  EXPECT_EQ(copy.buffer, nullptr);
  EXPECT_EQ(copy.size, 0u);
  EXPECT_EQ(copy.reserved, 77u);
  EXPECT_EQ(copy.mask, 3u);
  EXPECT_EQ(copy.flag, 0u);
  EXPECT_EQ(copy.next[0], &a);
  EXPECT_EQ(copy.next[1], &b);
  adb_entry_reset(&copy);
  adb_entry_reset(&other);
}

TEST(AudioEntryTest, SetNameToItsOwnNameKeepsIt) {
  AudioEntry e;
  adb_entry_init(&e, 0);
  ASSERT_EQ(adb_entry_set_name(&e, "same"), 1);
  ASSERT_EQ(adb_entry_set_name(&e, e.name.str), 1);
  EXPECT_STREQ(e.name.str, "same");
  EXPECT_EQ(e.name.hash, hstr_from_str("same").hash);
  adb_entry_reset(&e);
}

TEST(AudioEntryTest, BufferOperationsIncludingZeroSizes) {
  AudioEntry e;
  adb_entry_init(&e, 0);

  ASSERT_EQ(adb_entry_init_buffer(&e, "ABCDEFGH", 8), 1);
  EXPECT_EQ(bytesOf(e), (std::vector<uint8_t>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
  e.flag = 1;
  ASSERT_EQ(adb_entry_resize_buffer(&e, 4), 1);  // shrink keeps the front
  EXPECT_EQ(bytesOf(e), (std::vector<uint8_t>{'A', 'B', 'C', 'D'}));
  EXPECT_EQ(e.flag, 0u);
  ASSERT_EQ(adb_entry_resize_buffer(&e, 6), 1);  // grow keeps contents, zeroes the tail
  EXPECT_EQ(bytesOf(e), (std::vector<uint8_t>{'A', 'B', 'C', 'D', 0, 0}));

  // Size 0 frees the buffer and succeeds (realloc(p, 0) and malloc(0) are not relied on).
  e.flag = 1;
  ASSERT_EQ(adb_entry_resize_buffer(&e, 0), 1);
  EXPECT_EQ(e.buffer, nullptr);
  EXPECT_EQ(e.size, 0u);
  EXPECT_EQ(e.flag, 0u);
  ASSERT_EQ(adb_entry_resize_buffer(&e, 3), 1);  // from no buffer
  EXPECT_EQ(bytesOf(e), (std::vector<uint8_t>{0, 0, 0}));

  ASSERT_EQ(adb_entry_init_buffer(&e, "xyz", 0), 1);
  EXPECT_EQ(e.buffer, nullptr);
  EXPECT_EQ(e.size, 0u);
  ASSERT_EQ(adb_entry_init_buffer(&e, nullptr, 2), 1);  // no source: zeroed
  EXPECT_EQ(bytesOf(e), (std::vector<uint8_t>{0, 0}));

  e.flag = 1;
  adb_entry_reset_buffer(&e);
  EXPECT_EQ(e.buffer, nullptr);
  EXPECT_EQ(e.size, 2u);  // left as it was
  EXPECT_EQ(e.flag, 0u);
  adb_entry_reset(&e);
}

TEST(AudioEntryTest, MapBufferReadsExactlySizeBytesOrNothing) {
  const std::vector<uint8_t> eight = {1, 2, 3, 4, 5, 6, 7, 8};
  AudioEntry e;
  adb_entry_init(&e, 0);
  {
    FilledPipe p(eight);
    e.flag = 1;
    ASSERT_EQ(adb_entry_map_buffer(&e, p.fd(), 8), 1);
    EXPECT_EQ(bytesOf(e), eight);
    EXPECT_EQ(e.flag, 0u);
  }
  {
    FilledPipe p({1, 2, 3});  // short read
    EXPECT_EQ(adb_entry_map_buffer(&e, p.fd(), 8), 0);
    EXPECT_EQ(e.buffer, nullptr);
  }
  ASSERT_EQ(adb_entry_init_buffer(&e, "ab", 2), 1);
  EXPECT_EQ(adb_entry_map_buffer(&e, -1, 8), 0);  // failing read
  EXPECT_EQ(e.buffer, nullptr);
  {
    FilledPipe p(eight);
    ASSERT_EQ(adb_entry_map_buffer(&e, p.fd(), 0), 1);  // legal empty record, nothing read
    EXPECT_EQ(e.buffer, nullptr);
    EXPECT_EQ(e.size, 0u);
    uint8_t first = 0;
    EXPECT_EQ(read(p.fd(), &first, 1), 1);
    EXPECT_EQ(first, 1);
  }
  adb_entry_reset(&e);
}

}  // namespace
