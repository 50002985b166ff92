// A scratch folder for one benchmark, below $ZV_BENCH_DIR (default: the
// current directory), removed with everything in it when the object goes.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "platform/random.h"

namespace zv::bench {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix) {
    const char* d = std::getenv("ZV_BENCH_DIR");
    const std::string root = d && *d ? d : ".";
    path = zv::fs::join(root, prefix + std::to_string(zv::os_random_u64() % 1000000));
    (void)zv::fs::create_dir_all(path);
  }
  ~ScratchDir() { (void)zv::fs::remove_dir_all(path); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path;
};

}  // namespace zv::bench
