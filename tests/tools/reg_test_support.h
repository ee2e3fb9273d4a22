// Shared by the tests of `mivoctl reg`: runs the built tool with both hives in a fresh temporary folder and
// reads or prepares the hives through the registry API.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace mivo::test {

// Both hives in hives/ of a fresh temporary folder; the tool inherits the variables.
class RegToolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FileExists(ToolPath())) << ToolPath() << " is not built"; }

  // Runs the tool; the hives are re-read by this process afterwards.
  ProcessResult Run(const std::vector<std::string>& args) {
    mivo::reg::ResetForTesting();
    ProcessResult result = RunTool(args);
    mivo::reg::ResetForTesting();
    return result;
  }

  HiveSandbox hives_{"hives/machine.hive", "hives/user.hive"};
};

// One line on stderr, starting "mivoctl: ".
inline ::testing::AssertionResult IsOneErrorLine(const std::string& err) {
  if (err.rfind("mivoctl: ", 0) != 0) return ::testing::AssertionFailure() << "no prefix: " << err;
  if (err.find('\n') != err.size() - 1) return ::testing::AssertionFailure() << "not one line: " << err;
  return ::testing::AssertionSuccess();
}

}  // namespace mivo::test
