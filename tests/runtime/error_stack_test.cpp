#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "runtime/error_stack.h"
#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

class ErrorStackTest : public ::testing::Test {
 protected:
  void SetUp() override { kr::error_stack_clear(); }
  void TearDown() override { kr::error_stack_clear(); }
};

const kr_error_record numbered = {900, "message %d", nullptr};
const kr_error_record formatted = {821, "GPU device index `%d` is out of range. Found `%d` available GPU devices.",
                                   nullptr};
const kr_error_record no_message = {0xABC, nullptr, nullptr};
const kr_error_record long_message = {1, "%s", nullptr};

TEST_F(ErrorStackTest, KeepsTheFirstEightMessagesAndDropsTheNinth) {
  for (int i = 0; i < 9; ++i) KR_FAIL(numbered, i);
  const auto stack = messages();
  ASSERT_EQ(stack.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(stack[i], stored(900, "message " + std::to_string(i)));
  EXPECT_EQ(kr::error_stack()[0].marker, 666);
}

TEST_F(ErrorStackTest, FormatsCodeAndArguments) {
  KR_FAIL(formatted, 5, 2);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0],
            std::string(KR_REVISION_TAG) +
                " 00000335: GPU device index `5` is out of range. Found `2` available GPU devices.");
  const kr::error_entry& entry = kr::error_stack()[0].entries[0];
  EXPECT_STREQ(entry.tag, "");
  EXPECT_EQ(entry.caller_value, 0);
}

TEST_F(ErrorStackTest, NullMessageStoresTheFixedText) {
  KR_FAIL(no_message);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0], std::string(KR_REVISION_TAG) + " 00000ABC: Kestrelon Error.");
}

TEST_F(ErrorStackTest, CutsFormattedTextAt491Characters) {
  const std::string text(600, 'x');
  KR_FAIL(long_message, text.c_str());
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0], stored(1, std::string(491, 'x')));
  // The scratch buffer is zeroed after use.
  const kr::error_slot& slot = kr::error_stack()[0];
  for (char c : slot.scratch) ASSERT_EQ(c, '\0');
}

TEST_F(ErrorStackTest, ResetFlagEmptiesTheSlotAtTheNextAppend) {
  for (int i = 0; i < 8; ++i) KR_FAIL(numbered, i);
  kr::error_stack()[0].reset_pending = 1;
  KR_FAIL(numbered, 42);
  const auto stack = messages();
  ASSERT_EQ(stack.size(), 1u);
  EXPECT_EQ(stack[0], stored(900, "message 42"));
  EXPECT_EQ(kr::error_stack()[0].reset_pending, 0);
  EXPECT_STREQ(kr::error_stack()[0].entries[1].text, "");
}

TEST(RevisionTag, IsSevenLowercaseHexCharacters) {
  const std::string tag = KR_REVISION_TAG;
  ASSERT_EQ(tag.size(), 7u);
  for (char c : tag) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << tag;
}

}  // namespace
