// Runs the built quelvar-scan (QUELVAR_SCAN) through the shell for the tests of tools/.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace qv::scan_test {

struct Result {
  int status = -1;
  std::string out, err;
};

// `args` may redirect the output; standard error is kept apart, in a file of each run's own (the tests
// run in parallel processes).
inline Result RunScan(const std::string& args) {
  static int runs = 0;
  const std::string errFile =
      ::testing::TempDir() + "/scan_stderr." + std::to_string(getpid()) + "." + std::to_string(++runs);
  const std::string cmd = std::string(QUELVAR_SCAN) + " " + args + " 2>" + errFile;
  Result r;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[1 << 16];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(errFile);
  std::stringstream ss;
  ss << e.rdbuf();
  r.err = ss.str();
  std::remove(errFile.c_str());
  return r;
}

}  // namespace qv::scan_test
