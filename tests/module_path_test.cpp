// The executable's path.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/os.h"

namespace kestravo::test {
namespace {

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
