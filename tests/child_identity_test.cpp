// A child's identity: the text of its GUID.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "test_support.h"

namespace kestravo::test {
namespace {

// Fresh version-4 GUIDs, upper case but for the third group.
TEST(ChildIdentity, GuidTextsAreFreshVersion4InTheirOwnCase) {
  const std::regex shape(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9a-f]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string text = CreateGuidString();
    ASSERT_TRUE(std::regex_match(text, shape)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace kestravo::test
