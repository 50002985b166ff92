// Every setting of an open database, read from ZIVIROR_ environment variables
// (and HOST) when a database is opened. Building one never fails: bad values
// fall back to defaults with a warning event. A Config is an immutable value;
// the SDK handle and the storage engine each keep their own copy.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "src/runtime/ip_address.h"

namespace zv {

// Whether the vector index may ask the OS to prefetch pages of a mapped file.
enum class PrefetchMode : uint8_t { kAuto = 0, kEnabled = 1, kDisabled = 2 };

// Which storage backend a database uses. kRocksDb names a backend this system
// does not contain; the backend factory refuses it.
enum class BackendKind : uint8_t { kRocksDb = 0, kMorva = 1, kInMemory = 2 };

enum class LogFormat : uint8_t { kCompact = 0, kJson = 1, kFull = 2 };

struct InsertBatchConfig {
  bool enabled = false;
  uint64_t max_batch_records = 32;
  uint64_t max_wait_ms = 1;
  uint64_t max_queued_records = 1024;

  bool operator==(const InsertBatchConfig&) const = default;
};

// Where from_source reads variables and the processor count (0 = unknown).
struct EnvSource {
  std::function<EnvValue(const char*)> get;
  uint64_t processor_count = 0;
};

struct Config {
  // Defaults of the fields that are not plain literals below.
  static constexpr uint64_t kDefaultAuditMaxBytes = 10'485'760;
  static constexpr uint64_t kDefaultFlatThreshold = 10'000;
  static constexpr uint64_t kDefaultVersionHistoryLimit = 32;

  std::string storage_path = "ziviror_data";
  std::string host = "127.0.0.1";
  uint16_t port = 8080;
  std::string llm_url = "http://127.0.0.1:11434";
  std::string llm_model = "all-minilm";
  std::string llm_summarize_model = "llama3";
  std::string local_model = "embeddings/models/multilingual-e5-small/onnx";
  std::optional<std::string> openai_api_key;  // secret: never logged
  std::string openai_model = "text-embedding-3-small";
  std::string embedding_provider = "ollama";
  std::optional<uint64_t> memory_limit;  // bytes; none: the machine's memory
  PrefetchMode prefetch = PrefetchMode::kDisabled;
  BackendKind backend = BackendKind::kMorva;
  uint64_t max_blocking_threads = 16;
  uint64_t max_connections = 32;
  uint64_t pool_acquire_timeout_ms = 5000;
  uint32_t circuit_breaker_failure_threshold = 5;
  uint64_t circuit_breaker_open_timeout_secs = 30;
  uint64_t insert_lock_timeout_ms = 5000;
  uint64_t file_lock_timeout_ms = 1000;
  std::optional<std::string> api_key;      // secret
  std::optional<std::string> alt_api_key;  // secret
  std::optional<std::string> jwt_secret;   // secret
  bool require_auth = false;
  uint32_t rate_limit_rpm = 600;
  std::vector<IpAddress> trusted_proxies;
  std::vector<std::string> allowed_origins;
  std::optional<uint64_t> batch_size;
  InsertBatchConfig insert_batch;
  std::optional<uint64_t> version_history_limit = kDefaultVersionHistoryLimit;
  std::map<std::string, uint64_t> memory_default_ttl_ms;  // namespace -> ms
  uint32_t quarantine_review_default_days = 30;
  std::optional<float> confidence_threshold;
  uint64_t ttl_sweep_interval_ms = 60000;
  std::optional<uint64_t> bulk_commit_interval;
  std::optional<uint64_t> wal_buffer_size;  // bytes
  std::optional<uint64_t> flush_threshold;
  std::optional<std::string> tls_cert;
  std::optional<std::string> tls_key;
  LogFormat log_format = LogFormat::kCompact;
  std::optional<std::string> encryption_key;  // secret
  uint64_t wal_shards = 4;
  std::optional<uint64_t> flat_threshold = kDefaultFlatThreshold;
  std::optional<std::string> export_base_dir;
  std::optional<std::string> backup_dir;
  std::optional<std::string> audit_log_path;
  uint64_t audit_max_bytes = kDefaultAuditMaxBytes;
  uint32_t audit_max_files = 5;
  std::optional<std::string> dashboard_dir;

  // Fixed starting values, not read from the environment.
  bool read_only = false;
  bool index_mmap = true;
  bool index_mmap_always = false;
  uint8_t wal_sync_mode = 1;
  double memory_pressure_ratio = 0.8;
  double eviction_weights[4] = {1.0, 2.0, 3.0, 1.0};
  double eviction_fraction = 0.2;

  // Reads the process environment and the machine's processor count.
  static Config from_env();
  // The same rules over any source of variables.
  static Config from_source(const EnvSource& source);

  Config clone() const { return *this; }
  bool operator==(const Config&) const = default;
};

const char* prefetch_mode_name(PrefetchMode mode);
const char* backend_kind_name(BackendKind kind);
const char* log_format_name(LogFormat format);

}  // namespace zv
