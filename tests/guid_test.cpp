// GUIDs and the executable's path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <set>

#include "platform/os.h"
#include "test_support.h"

namespace kestravo::test {
namespace {

TEST(Guid, TextIsVersionFourWithLowerCaseThirdGroup) {
  std::set<std::string> seen;
  bool sawLetterInThirdGroup = false;
  for (int i = 0; i < 2000; ++i) {
    std::string text = NewGuidText();
    ASSERT_EQ(text.size(), 38u) << text;
    ASSERT_EQ(text.front(), '{');
    ASSERT_EQ(text.back(), '}');
    for (size_t dash : {9u, 14u, 19u, 24u}) ASSERT_EQ(text[dash], '-') << text;
    EXPECT_EQ(text[15], '4') << "version digit: " << text;
    EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos) << "variant: " << text;
    for (size_t j = 1; j < 37; ++j) {
      char c = text[j];
      if (c == '-') continue;
      ASSERT_TRUE(isxdigit(static_cast<unsigned char>(c))) << text;
      bool thirdGroup = j >= 15 && j < 19;
      if (isalpha(static_cast<unsigned char>(c))) {
        EXPECT_EQ(islower(static_cast<unsigned char>(c)) != 0, thirdGroup) << text;
        sawLetterInThirdGroup |= thirdGroup;
      }
    }
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 2000u);
  EXPECT_TRUE(sawLetterInThirdGroup);
  EXPECT_EQ(CoCreateGuid(nullptr), E_FAIL);
}

TEST(ModulePath, IsTheExecutableAndIsCutAsWindowsCutsIt) {
  char expected[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
  char path[4096];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  EXPECT_EQ(std::string(path, n), expected);
  EXPECT_EQ(path[n], '\0');

  char small[6];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, 5), 5u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), std::string(expected, 4));
  EXPECT_EQ(small[5], 'x') << "wrote past the size it was given";
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(1), path, sizeof path), 0u);
}

}  // namespace
}  // namespace kestravo::test
