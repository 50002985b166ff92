#include "src/runtime/config.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/log.h"
#include "platform/sysinfo.h"
#include "src/runtime/config_parse.h"

namespace zv {

namespace {

constexpr const char* kTarget = "zolva::config";

constexpr std::string_view kInvalidValue = "Invalid value for {}: \"{}\" ({}) — using default";
constexpr std::string_view kNonUnicode = "Non-Unicode value for {} — using default";
constexpr std::string_view kInvalidMemoryLimit = "Invalid ZIVIROR_MEMORY_LIMIT={} ({}) - ignoring";
constexpr std::string_view kNonUnicodeMemoryLimit = "Non-Unicode value for ZIVIROR_MEMORY_LIMIT - ignoring";
constexpr std::string_view kUnknownPrefetch =
    "Unrecognized ZIVIROR_PREFETCH=\"{}\" — expected \"enabled\", \"disabled\", or \"auto\". "
    "Using default: Disabled";
constexpr std::string_view kUnknownBackend =
    "Unrecognized ZIVIROR_BACKEND=\"{}\" — expected \"rocksdb\" or \"memory\". Using default: Morva";
constexpr std::string_view kUnknownLogFormat =
    "Unrecognized ZIVIROR_LOG_FORMAT=\"{}\" — expected \"compact\", \"json\", or \"full\". "
    "Using default: Compact";
constexpr std::string_view kBadProxy = "Invalid ZIVIROR_TRUSTED_PROXIES entry {} — ignoring: {}";
constexpr std::string_view kBadProxyReason = "invalid IP address syntax";
constexpr std::string_view kTtlNoColon =
    "Invalid ZIVIROR_MEMORY_DEFAULT_TTL_MS entry {} — expected `namespace:ms`; skipping";
constexpr std::string_view kTtlBadMs = "Invalid ZIVIROR_MEMORY_DEFAULT_TTL_MS entry {} ({}) — skipping";
constexpr std::string_view kBadConfidence = "Invalid ZIVIROR_CONFIDENCE_THRESHOLD={} ({}) — ignoring";
constexpr std::string_view kConfidenceRange =
    "Invalid ZIVIROR_CONFIDENCE_THRESHOLD={} — expected a value in [0,1]; ignoring";
constexpr std::string_view kSecretSet = "{} is set (value not logged)";
constexpr std::string_view kSecretPresence = "{} presence";
constexpr std::string_view kBoolReason = "expected \"true\" or \"false\"";

constexpr uint64_t kU16Max = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMaxInsertBatchWaitMs = 60000;

void warn(const std::string& message) { ZV_WARN(kTarget, message); }

// The settled value of one variable, for whoever listens at info level.
void note(const char* name, const std::string& value) {
  ZV_LOG(log::Level::kInfo, kTarget, std::string(name) + "=" + value, {"variable", name},
         {"value", value});
}

// Reads variables from one source with the shared rules.
class Reader {
 public:
  explicit Reader(const EnvSource& src) : src_(src) {}

  EnvValue get(const char* name) const { return src_.get(name); }

  // Numbers: optional "+" and digits that fit; anything else warns and keeps
  // the default.
  uint64_t unsigned_or(const char* name, uint64_t def, uint64_t max) const {
    EnvValue v = get(name);
    uint64_t out = def;
    if (v.state == EnvValue::State::kNotUnicode) {
      warn(config::fill(kNonUnicode, {name}));
    } else if (v.is_text()) {
      auto n = config::parse_unsigned(v.text, max);
      if (n.ok()) out = *n;
      else warn(config::fill(kInvalidValue, {name, v.text, n.error()}));
    }
    note(name, std::to_string(out));
    return out;
  }
  uint64_t u64_or(const char* name, uint64_t def) const { return unsigned_or(name, def, kU64Max); }
  uint32_t u32_or(const char* name, uint32_t def) const {
    return static_cast<uint32_t>(unsigned_or(name, def, kU32Max));
  }
  // An unsigned 32-bit count where 0 means none.
  std::optional<uint64_t> optional_count(const char* name, uint32_t def) const {
    uint32_t v = u32_or(name, def);
    return v == 0 ? std::nullopt : std::optional<uint64_t>(v);
  }

  // Exactly "true" or "false".
  bool boolean(const char* name) const {
    EnvValue v = get(name);
    bool out = false;
    if (v.state == EnvValue::State::kNotUnicode) {
      warn(config::fill(kNonUnicode, {name}));
    } else if (v.is_text()) {
      if (v.text == "true") out = true;
      else if (v.text != "false") warn(config::fill(kInvalidValue, {name, v.text, kBoolReason}));
    }
    note(name, out ? "true" : "false");
    return out;
  }

  std::string text_or(const char* name, const char* def) const {
    EnvValue v = get(name);
    std::string out = v.is_text() ? std::move(v.text) : std::string(def);
    note(name, out);
    return out;
  }

  std::optional<std::string> optional_text(const char* name) const {
    EnvValue v = get(name);
    if (!v.is_text()) return std::nullopt;
    note(name, v.text);
    return std::move(v.text);
  }

  // A secret: its value never reaches an event.
  std::optional<std::string> secret(const char* name, bool announce_when_set) const {
    EnvValue v = get(name);
    std::optional<std::string> out;
    if (v.is_text()) out = std::move(v.text);
    if (announce_when_set) {
      if (out) ZV_LOG(log::Level::kInfo, kTarget, config::fill(kSecretSet, {name}));
    } else {
      ZV_LOG(log::Level::kInfo, kTarget, config::fill(kSecretPresence, {name}),
             {"present", out ? "true" : "false"});
    }
    return out;
  }

  // The trimmed, non-empty pieces of a comma-separated list.
  std::vector<std::string_view> pieces(const std::string& text) const {
    std::vector<std::string_view> out;
    std::string_view rest = text;
    while (true) {
      size_t comma = rest.find(',');
      std::string_view piece = config::trim(rest.substr(0, comma));
      if (!piece.empty()) out.push_back(piece);
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    return out;
  }

 private:
  const EnvSource& src_;
};

std::optional<uint64_t> read_memory_limit(const Reader& r) {
  constexpr const char* kName = "ZIVIROR_MEMORY_LIMIT";
  EnvValue v = r.get(kName);
  if (v.state == EnvValue::State::kNotUnicode) {
    warn(std::string(kNonUnicodeMemoryLimit));
    return std::nullopt;
  }
  if (!v.is_text()) return std::nullopt;
  auto bytes = config::parse_memory_limit(v.text);
  if (!bytes.ok()) {
    warn(config::fill(kInvalidMemoryLimit, {config::quote(v.text), bytes.error()}));
    return std::nullopt;
  }
  note(kName, std::to_string(*bytes));
  return *bytes;
}

uint64_t read_audit_max_bytes(const Reader& r) {
  constexpr const char* kName = "ZIVIROR_AUDIT_MAX_BYTES";
  EnvValue v = r.get(kName);
  uint64_t out = Config::kDefaultAuditMaxBytes;
  if (v.is_text()) {
    auto bytes = config::parse_memory_limit(v.text);
    if (bytes.ok()) out = *bytes;
  }
  note(kName, std::to_string(out));
  return out;
}

PrefetchMode read_prefetch(const Reader& r) {
  EnvValue v = r.get("ZIVIROR_PREFETCH");
  PrefetchMode out = PrefetchMode::kDisabled;
  if (v.is_text()) {
    if (auto m = config::parse_prefetch_mode(v.text)) out = *m;
    else warn(config::fill(kUnknownPrefetch, {v.text}));
  }
  note("ZIVIROR_PREFETCH", prefetch_mode_name(out));
  // Read and discarded: this variable no longer changes anything.
  (void)r.get("ZIVIROR_DISABLE_PREFETCH");
  return out;
}

BackendKind read_backend(const Reader& r) {
  EnvValue v = r.get("ZIVIROR_BACKEND");
  BackendKind out = BackendKind::kMorva;
  if (v.is_text()) {
    if (v.text == "rocksdb") out = BackendKind::kRocksDb;
    else if (v.text == "morva") out = BackendKind::kMorva;
    else if (v.text == "memory" || v.text == "in-memory") out = BackendKind::kInMemory;
    else warn(config::fill(kUnknownBackend, {v.text}));
  }
  note("ZIVIROR_BACKEND", backend_kind_name(out));
  return out;
}

LogFormat read_log_format(const Reader& r) {
  EnvValue json = r.get("ZIVIROR_LOG_JSON");
  LogFormat out = LogFormat::kCompact;
  if (json.is_text() && (json.text == "true" || json.text == "1")) {
    out = LogFormat::kJson;
  } else if (EnvValue v = r.get("ZIVIROR_LOG_FORMAT"); v.is_text()) {
    std::string w(config::trim(v.text));
    for (char& c : w) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (w == "1" || w == "json" || w == "true") out = LogFormat::kJson;
    else if (w == "full" || w == "verbose") out = LogFormat::kFull;
    else if (w != "compact") warn(config::fill(kUnknownLogFormat, {v.text}));
  }
  note("ZIVIROR_LOG_FORMAT", log_format_name(out));
  return out;
}

std::vector<IpAddress> read_trusted_proxies(const Reader& r) {
  std::vector<IpAddress> out;
  EnvValue v = r.get("ZIVIROR_TRUSTED_PROXIES");
  if (v.is_text()) {
    for (std::string_view piece : r.pieces(v.text)) {
      if (auto ip = parse_ip_address(piece)) out.push_back(*ip);
      else warn(config::fill(kBadProxy, {config::quote(piece), kBadProxyReason}));
    }
  }
  note("ZIVIROR_TRUSTED_PROXIES", std::to_string(out.size()));
  return out;
}

std::vector<std::string> read_allowed_origins(const Reader& r) {
  std::vector<std::string> out;
  EnvValue v = r.get("ZIVIROR_ALLOWED_ORIGINS");
  if (v.is_text())
    for (std::string_view piece : r.pieces(v.text)) out.emplace_back(piece);
  note("ZIVIROR_ALLOWED_ORIGINS", std::to_string(out.size()));
  return out;
}

std::map<std::string, uint64_t> read_default_ttls(const Reader& r) {
  std::map<std::string, uint64_t> out;
  EnvValue v = r.get("ZIVIROR_MEMORY_DEFAULT_TTL_MS");
  if (v.is_text()) {
    for (std::string_view piece : r.pieces(v.text)) {
      size_t colon = piece.find(':');
      std::string_view ns = colon == std::string_view::npos ? std::string_view() : config::trim(piece.substr(0, colon));
      if (ns.empty()) {
        warn(config::fill(kTtlNoColon, {config::quote(piece)}));
        continue;
      }
      auto ms = config::parse_unsigned(config::trim(piece.substr(colon + 1)), kU64Max);
      if (!ms.ok()) {
        warn(config::fill(kTtlBadMs, {config::quote(piece), ms.error()}));
        continue;
      }
      out[std::string(ns)] = *ms;
    }
  }
  note("ZIVIROR_MEMORY_DEFAULT_TTL_MS", std::to_string(out.size()));
  return out;
}

std::optional<float> read_confidence(const Reader& r) {
  constexpr const char* kName = "ZIVIROR_CONFIDENCE_THRESHOLD";
  EnvValue v = r.get(kName);
  if (!v.is_text()) return std::nullopt;
  auto f = config::parse_f32(config::trim(v.text));
  if (!f.ok()) {
    warn(config::fill(kBadConfidence, {config::quote(v.text), f.error()}));
    return std::nullopt;
  }
  if (!std::isfinite(*f) || *f < 0.0f || *f > 1.0f) {
    warn(config::fill(kConfidenceRange, {config::quote(v.text)}));
    return std::nullopt;
  }
  note(kName, std::to_string(*f));
  return *f;
}

InsertBatchConfig read_insert_batch(const Reader& r) {
  InsertBatchConfig b;
  b.enabled = r.boolean("ZIVIROR_INSERT_BATCH_ENABLED");
  uint64_t max_records = r.u64_or("ZIVIROR_INSERT_BATCH_MAX_RECORDS", 32);
  uint64_t wait_ms = r.u64_or("ZIVIROR_INSERT_BATCH_WAIT_MS", 1);
  uint64_t queue = r.u64_or("ZIVIROR_INSERT_BATCH_QUEUE", 1024);
  b.max_queued_records = queue == 0 ? 1024 : queue;
  b.max_batch_records = std::min(max_records == 0 ? 32 : max_records, b.max_queued_records);
  b.max_wait_ms = std::min(wait_ms, kMaxInsertBatchWaitMs);
  return b;
}

}  // namespace

Config Config::from_env() {
  return from_source(EnvSource{[](const char* name) { return get_env(name); }, logical_processor_count()});
}

Config Config::from_source(const EnvSource& src) {
  Reader r(src);
  Config c;
  c.storage_path = r.text_or("ZIVIROR_STORAGE_PATH", "ziviror_data");
  if (EnvValue h = r.get("ZIVIROR_HOST"); h.is_text()) c.host = std::move(h.text);
  else if (EnvValue plain = r.get("HOST"); plain.is_text()) c.host = std::move(plain.text);
  note("ZIVIROR_HOST", c.host);
  c.port = static_cast<uint16_t>(r.unsigned_or("ZIVIROR_PORT", 8080, kU16Max));
  c.llm_url = r.text_or("ZIVIROR_LLM_URL", c.llm_url.c_str());
  c.llm_model = r.text_or("ZIVIROR_LLM_MODEL", "all-minilm");
  c.llm_summarize_model = r.text_or("ZIVIROR_LLM_SUMMARIZE_MODEL", "llama3");
  c.local_model = r.text_or("ZIVIROR_LOCAL_MODEL", "embeddings/models/multilingual-e5-small/onnx");
  c.openai_api_key = r.secret("ZIVIROR_OPENAI_API_KEY", true);
  c.openai_model = r.text_or("ZIVIROR_OPENAI_MODEL", "text-embedding-3-small");
  c.embedding_provider = r.text_or("ZIVIROR_EMBEDDING_PROVIDER", "ollama");
  c.memory_limit = read_memory_limit(r);
  c.prefetch = read_prefetch(r);
  c.backend = read_backend(r);
  // Twice the processors for blocking work, twice that for connections; the
  // connection default does not follow an overridden thread count.
  uint64_t blocking_default = src.processor_count == 0 ? 16 : 2 * src.processor_count;
  c.max_blocking_threads = r.u64_or("ZIVIROR_MAX_BLOCKING_THREADS", blocking_default);
  c.max_connections = r.u64_or("ZIVIROR_MAX_CONNECTIONS", 2 * blocking_default);
  c.pool_acquire_timeout_ms = r.u64_or("ZIVIROR_POOL_ACQUIRE_TIMEOUT_MS", 5000);
  c.circuit_breaker_failure_threshold = r.u32_or("ZIVIROR_CIRCUIT_BREAKER_FAILURE_THRESHOLD", 5);
  c.circuit_breaker_open_timeout_secs = r.u64_or("ZIVIROR_CIRCUIT_BREAKER_OPEN_TIMEOUT_SECS", 30);
  c.insert_lock_timeout_ms = r.u64_or("ZIVIROR_INSERT_LOCK_TIMEOUT_MS", 5000);
  c.file_lock_timeout_ms = r.u64_or("ZIVIROR_FILE_LOCK_TIMEOUT_MS", 1000);
  c.api_key = r.secret("ZIVIROR_API_KEY", false);
  c.alt_api_key = r.secret("ZIVIROR_ALT_API_KEY", false);
  c.jwt_secret = r.secret("ZIVIROR_JWT_SECRET", false);
  c.require_auth = r.boolean("ZIVIROR_REQUIRE_AUTH");
  c.rate_limit_rpm = r.u32_or("ZIVIROR_RATE_LIMIT_RPM", 600);
  c.trusted_proxies = read_trusted_proxies(r);
  c.allowed_origins = read_allowed_origins(r);
  c.batch_size = r.optional_count("ZIVIROR_BATCH_SIZE", 0);
  c.insert_batch = read_insert_batch(r);
  c.version_history_limit = r.optional_count("ZIVIROR_VERSION_HISTORY_LIMIT", kDefaultVersionHistoryLimit);
  c.memory_default_ttl_ms = read_default_ttls(r);
  c.quarantine_review_default_days = r.u32_or("ZIVIROR_QUARANTINE_REVIEW_DEFAULT_DAYS", 30);
  c.confidence_threshold = read_confidence(r);
  c.ttl_sweep_interval_ms = r.u64_or("ZIVIROR_TTL_SWEEP_INTERVAL_MS", 60000);
  c.bulk_commit_interval = r.optional_count("ZIVIROR_BULK_COMMIT_INTERVAL", 0);
  c.wal_buffer_size = r.optional_count("ZIVIROR_WAL_BUFFER_SIZE", 0);
  c.flush_threshold = r.optional_count("ZIVIROR_FLUSH_THRESHOLD", 0);
  c.tls_cert = r.optional_text("ZIVIROR_TLS_CERT");
  c.tls_key = r.optional_text("ZIVIROR_TLS_KEY");
  c.log_format = read_log_format(r);
  c.encryption_key = r.secret("ZIVIROR_ENCRYPTION_KEY", true);
  c.wal_shards = r.u64_or("ZIVIROR_WAL_SHARDS", 4);
  c.flat_threshold = r.optional_count("ZIVIROR_FLAT_THRESHOLD", kDefaultFlatThreshold);
  c.export_base_dir = r.optional_text("ZIVIROR_EXPORT_BASE_DIR");
  c.backup_dir = r.optional_text("ZIVIROR_BACKUP_DIR");
  c.audit_log_path = r.optional_text("ZIVIROR_AUDIT_LOG_PATH");
  c.audit_max_bytes = read_audit_max_bytes(r);
  c.audit_max_files = r.u32_or("ZIVIROR_AUDIT_MAX_FILES", 5);
  c.dashboard_dir = r.optional_text("ZIVIROR_DASHBOARD_DIR");
  return c;
}

const char* prefetch_mode_name(PrefetchMode mode) {
  switch (mode) {
    case PrefetchMode::kAuto: return "Auto";
    case PrefetchMode::kEnabled: return "Enabled";
    case PrefetchMode::kDisabled: return "Disabled";
  }
  return "?";
}

const char* backend_kind_name(BackendKind kind) {
  switch (kind) {
    case BackendKind::kRocksDb: return "RocksDb";
    case BackendKind::kMorva: return "Morva";
    case BackendKind::kInMemory: return "InMemory";
  }
  return "?";
}

const char* log_format_name(LogFormat format) {
  switch (format) {
    case LogFormat::kCompact: return "Compact";
    case LogFormat::kJson: return "Json";
    case LogFormat::kFull: return "Full";
  }
  return "?";
}

}  // namespace zv
