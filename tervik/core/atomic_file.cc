#include "tervik/core/atomic_file.h"

#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/random.h"
#include "tervik/core/fatal.h"

namespace tervik::file {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// The generator is reseeded from the OS before this attempt, in case the
// names it drew so far collide with another process's.
constexpr uint32_t kFirstReseedAttempt = 3;

// A fast per-thread generator (wyrand); only the temporary names use it.
class NameRng {
 public:
  NameRng() : state_(zv::os_random_u64()) {}
  uint64_t next() {
    state_ += 0xa0761d6478bd642fULL;
    unsigned __int128 m = static_cast<unsigned __int128>(state_) * (state_ ^ 0xe7037ed1a0b428dbULL);
    return static_cast<uint64_t>(m >> 64) ^ static_cast<uint64_t>(m);
  }
  void reseed(uint64_t seed) { state_ ^= seed; }

 private:
  uint64_t state_;
};

NameRng& thread_rng() {
  thread_local NameRng rng;
  return rng;
}

std::string temp_name(NameRng& rng) {
  std::string name(kTempPrefix);
  for (size_t i = 0; i < kTempRandomChars; ++i) name += kAlphabet[rng.next() % kAlphabet.size()];
  return name;
}

zv::IoError with_path(const zv::IoError& e, const std::string& path) {
  return zv::IoError(e.kind(), e.message() + " at path \"" + path + "\"", e.os_code());
}

// Has a parent folder: not empty and not the root itself.
bool has_parent(const std::string& path) {
  return !path.empty() && path.find_first_not_of('/') != std::string::npos;
}

}  // namespace

bool is_temp_name(std::string_view name) {
  if (name.size() != kTempPrefix.size() + kTempRandomChars || !name.starts_with(kTempPrefix)) {
    return false;
  }
  return name.substr(kTempPrefix.size()).find_first_not_of(kAlphabet) == std::string_view::npos;
}

zv::IoStatus rewrite_atomic(const std::string& path, std::string_view content) {
  if (!has_parent(path)) zv::panic(kFatalNoParent);
  std::string folder = zv::fs::parent(path);
  folder = zv::fs::absolute(folder.empty() ? std::string(".") : folder);

  // A fork of the thread's generator, so that concurrent calls draw apart.
  NameRng rng = thread_rng();
  thread_rng().next();
  zv::File tmp;
  std::string tmp_path;
  for (uint32_t attempt = 0;; ++attempt) {
    if (attempt == kMaxTempAttempts) {
      return zv::make_unexpected(with_path(
          zv::IoError(zv::IoErrorKind::kAlreadyExists, kTooManyTempFiles), folder));
    }
    if (attempt == kFirstReseedAttempt) rng.reseed(zv::os_random_u64());
    tmp_path = zv::fs::join(folder, temp_name(rng));
    auto created = zv::File::create_new(tmp_path);
    if (created.ok()) {
      tmp = std::move(created).value();
      break;
    }
    if (created.error().kind() != zv::IoErrorKind::kAlreadyExists) {
      return zv::make_unexpected(with_path(created.error(), tmp_path));
    }
  }

  auto discard = [&](zv::IoError e) -> zv::IoStatus {
    (void)tmp.close();
    (void)zv::fs::remove_file(tmp_path);
    return zv::make_unexpected(std::move(e));
  };
  if (auto st = tmp.write_all(content); !st.ok()) return discard(with_path(st.error(), tmp_path));
  if (auto st = tmp.sync_all(); !st.ok()) return discard(st.error());
  if (auto st = zv::fs::rename(tmp_path, path); !st.ok()) return discard(st.error());
  (void)tmp.close();
  // The rename is durable only once the folder's entries are on disk.
  return zv::fs::sync_dir(folder);
}

zv::IoResult<zv::File> create_new(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(zv::File f, zv::File::create_new(path));
  std::string folder = zv::fs::parent(path);
  ZV_TRY(zv::fs::sync_dir(folder.empty() ? std::string(".") : folder));
  return f;
}

}  // namespace tervik::file
