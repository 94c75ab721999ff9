#include "platform/module.h"

#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

TEST(PlatformModule, ExecutablePathWithWindowsBufferRules) {
  std::string exe = plat::ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe[0], '/');
  EXPECT_EQ(::access(exe.c_str(), X_OK), 0);

  char full[4096];
  DWORD n = plat::GetModuleFileNameA(nullptr, full, sizeof full);
  EXPECT_EQ(n, exe.size());
  EXPECT_EQ(std::string(full), exe);

  // Exactly the length: no room for the terminator, so it is cut and terminated.
  std::string cut(exe.size() + 4, '#');
  n = plat::GetModuleFileNameA(nullptr, &cut[0], static_cast<DWORD>(exe.size()));
  EXPECT_EQ(n, exe.size());
  EXPECT_EQ(plat::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::strlen(cut.c_str()), exe.size() - 1);
  EXPECT_EQ(cut[exe.size()], '#') << "nothing written past the buffer";

  EXPECT_EQ(plat::GetModuleFileNameA(nullptr, full, 0), 0u);
  EXPECT_EQ(plat::GetModuleFileNameA(reinterpret_cast<HANDLE>(1), full, sizeof full), 0u);

  std::string lib = plat::LibraryPath();
  EXPECT_NE(lib.find("libzervlib.so"), std::string::npos) << lib;
}

}  // namespace
