// Helpers for tests that run the independent Python peer under tests/sim/ovc.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace ovc_test {

// A fresh private folder, removed by the destructor.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/ovc_test.XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const char* name) const { return path + "/" + name; }
};

inline std::string peer_command(const std::string& script_and_args) {
  return std::string(OVC_PYTHON) + " " + OVC_PEER_DIR + "/" + script_and_args;
}

// Runs the command, returns its exit status and fills out with its standard output.
inline int run_capture(const std::string& cmd, std::string* out) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace ovc_test
