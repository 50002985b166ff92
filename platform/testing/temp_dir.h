// A fresh directory under $TMPDIR (or /tmp) for one test, removed with its
// contents when the object goes. Test-only helper.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "platform/random.h"

namespace zv::testing {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string root = base && *base ? base : "/tmp";
    char name[40];
    std::snprintf(name, sizeof(name), "zv-test-%016llx",
                  static_cast<unsigned long long>(os_random_u64()));
    path_ = fs::join(root, name);
    (void)fs::create_dir_all(path_);
  }
  ~TempDir() { (void)fs::remove_dir_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zv::testing
