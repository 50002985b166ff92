#include "src/runtime/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

#include "platform/log.h"

namespace zv {
namespace {

constexpr const char* kNotUnicode = "\xff\xfe";  // marks a value that is not UTF-8

// A fake environment: each variable maps to its text, or kNotUnicode.
using Vars = std::map<std::string, std::string>;

EnvSource source_of(const Vars& vars, uint64_t processors = 8) {
  return EnvSource{[vars](const char* name) {
                     EnvValue v;
                     auto it = vars.find(name);
                     if (it == vars.end()) return v;
                     if (it->second == kNotUnicode) {
                       v.state = EnvValue::State::kNotUnicode;
                     } else {
                       v.state = EnvValue::State::kText;
                       v.text = it->second;
                     }
                     return v;
                   },
                   processors};
}

std::vector<std::string> warnings_of(const log::CaptureSink& sink) {
  std::vector<std::string> out;
  for (const auto& e : sink.events())
    if (e.level == log::Level::kWarn) out.push_back(e.message);
  return out;
}

template <class T>
std::string show(const std::optional<T>& v) {
  if (!v) return "none";
  std::ostringstream s;
  s << *v;
  return s.str();
}
std::string show(uint64_t v) { return std::to_string(v); }

using Field = std::function<std::string(const Config&)>;

const Field kPort = [](const Config& c) { return show(c.port); };
const Field kMemoryLimit = [](const Config& c) { return show(c.memory_limit); };
const Field kAuditMaxBytes = [](const Config& c) { return show(c.audit_max_bytes); };
const Field kPrefetch = [](const Config& c) { return std::string(prefetch_mode_name(c.prefetch)); };
const Field kBackend = [](const Config& c) { return std::string(backend_kind_name(c.backend)); };
const Field kLogFormat = [](const Config& c) { return std::string(log_format_name(c.log_format)); };
const Field kRequireAuth = [](const Config& c) { return std::string(c.require_auth ? "true" : "false"); };
const Field kConfidence = [](const Config& c) { return show(c.confidence_threshold); };
const Field kHost = [](const Config& c) { return c.host; };
const Field kStoragePath = [](const Config& c) { return c.storage_path; };
const Field kApiKey = [](const Config& c) { return c.api_key ? "[" + *c.api_key + "]" : "none"; };
const Field kInsertBatch = [](const Config& c) {
  const auto& b = c.insert_batch;
  return std::string(b.enabled ? "on" : "off") + " " + show(b.max_batch_records) + " " + show(b.max_wait_ms) +
         " " + show(b.max_queued_records);
};
const Field kThreads = [](const Config& c) {
  return show(c.max_blocking_threads) + " " + show(c.max_connections);
};
const Field kTtls = [](const Config& c) {
  std::string s;
  for (const auto& [ns, ms] : c.memory_default_ttl_ms) s += ns + "=" + show(ms) + ";";
  return s;
};
const Field kProxies = [](const Config& c) {
  std::string s;
  for (const auto& ip : c.trusted_proxies) s += ip.to_string() + ";";
  return s;
};
const Field kOrigins = [](const Config& c) {
  std::string s;
  for (const auto& o : c.allowed_origins) s += o + ";";
  return s;
};
Field optional_field(std::optional<uint64_t> Config::*member) {
  return [member](const Config& c) { return show(c.*member); };
}
Field u64_field(uint64_t Config::*member) {
  return [member](const Config& c) { return show(c.*member); };
}
Field u32_field(uint32_t Config::*member) {
  return [member](const Config& c) { return show(uint64_t{c.*member}); };
}

TEST(ConfigTest, DefaultsWithoutVariables) {
  log::CaptureSink sink;
  Config c = Config::from_source(source_of({}, 8));
  Config expected;
  expected.max_blocking_threads = 16;
  expected.max_connections = 32;
  EXPECT_TRUE(c == expected);
  EXPECT_EQ(c.prefetch, PrefetchMode::kDisabled);
  EXPECT_EQ(c.backend, BackendKind::kMorva);
  EXPECT_EQ(c.log_format, LogFormat::kCompact);
  EXPECT_EQ(c.version_history_limit, std::optional<uint64_t>(32));
  EXPECT_EQ(c.flat_threshold, std::optional<uint64_t>(10000));
  EXPECT_EQ(c.audit_max_bytes, 10485760u);
  EXPECT_EQ(c.storage_path, "ziviror_data");
  EXPECT_EQ(c.host, "127.0.0.1");
  EXPECT_EQ(c.port, 8080);
  EXPECT_FALSE(c.memory_limit.has_value());
  EXPECT_TRUE(warnings_of(sink).empty());
  EXPECT_TRUE(c.clone() == c);
}

TEST(ConfigTest, VariablesParseClampAndWarn) {
  struct Case {
    const char* name;
    Vars vars;
    Field field;
    std::string expected;
    std::string warning;  // expected start of the one warning; empty: none
    uint64_t processors = 8;
    size_t warning_count = 1;  // when warning is set
  } cases[] = {
      // Numbers: optional "+" and digits, fitting the type, never trimmed.
      {"port plus", {{"ZIVIROR_PORT", "+8081"}}, kPort, "8081", ""},
      {"port zero", {{"ZIVIROR_PORT", "0"}}, kPort, "0", ""},
      {"port space", {{"ZIVIROR_PORT", " 8081"}}, kPort, "8080", "Invalid value for ZIVIROR_PORT: \" 8081\" ("},
      {"port minus", {{"ZIVIROR_PORT", "-1"}}, kPort, "8080", "Invalid value for ZIVIROR_PORT: \"-1\" ("},
      {"port too big", {{"ZIVIROR_PORT", "65536"}}, kPort, "8080", "Invalid value for ZIVIROR_PORT: \"65536\" ("},
      {"port empty", {{"ZIVIROR_PORT", ""}}, kPort, "8080", "Invalid value for ZIVIROR_PORT: \"\" ("},
      {"port not unicode", {{"ZIVIROR_PORT", kNotUnicode}}, kPort, "8080",
       "Non-Unicode value for ZIVIROR_PORT — using default"},
      {"u32 max", {{"ZIVIROR_RATE_LIMIT_RPM", "4294967295"}}, u32_field(&Config::rate_limit_rpm), "4294967295", ""},
      {"u32 over", {{"ZIVIROR_RATE_LIMIT_RPM", "4294967296"}}, u32_field(&Config::rate_limit_rpm), "600",
       "Invalid value for ZIVIROR_RATE_LIMIT_RPM: \"4294967296\" ("},
      {"u64 max", {{"ZIVIROR_WAL_SHARDS", "18446744073709551615"}}, u64_field(&Config::wal_shards),
       "18446744073709551615", ""},
      {"u64 over", {{"ZIVIROR_WAL_SHARDS", "18446744073709551616"}}, u64_field(&Config::wal_shards), "4",
       "Invalid value for ZIVIROR_WAL_SHARDS: \"18446744073709551616\" ("},
      {"insert lock", {{"ZIVIROR_INSERT_LOCK_TIMEOUT_MS", "250"}}, u64_field(&Config::insert_lock_timeout_ms),
       "250", ""},
      // Optional counts: 32-bit, and 0 means none.
      {"history zero", {{"ZIVIROR_VERSION_HISTORY_LIMIT", "0"}}, optional_field(&Config::version_history_limit),
       "none", ""},
      {"history seven", {{"ZIVIROR_VERSION_HISTORY_LIMIT", "7"}}, optional_field(&Config::version_history_limit),
       "7", ""},
      {"history bad", {{"ZIVIROR_VERSION_HISTORY_LIMIT", "x"}}, optional_field(&Config::version_history_limit),
       "32", "Invalid value for ZIVIROR_VERSION_HISTORY_LIMIT: \"x\" ("},
      {"flat zero", {{"ZIVIROR_FLAT_THRESHOLD", "0"}}, optional_field(&Config::flat_threshold), "none", ""},
      {"wal buffer zero", {{"ZIVIROR_WAL_BUFFER_SIZE", "0"}}, optional_field(&Config::wal_buffer_size), "none", ""},
      {"wal buffer over u32", {{"ZIVIROR_WAL_BUFFER_SIZE", "4294967296"}},
       optional_field(&Config::wal_buffer_size), "none", "Invalid value for ZIVIROR_WAL_BUFFER_SIZE"},
      {"flush threshold", {{"ZIVIROR_FLUSH_THRESHOLD", "16"}}, optional_field(&Config::flush_threshold), "16", ""},
      {"batch size", {{"ZIVIROR_BATCH_SIZE", "+3"}}, optional_field(&Config::batch_size), "3", ""},
      {"bulk commit", {{"ZIVIROR_BULK_COMMIT_INTERVAL", "500"}}, optional_field(&Config::bulk_commit_interval),
       "500", ""},
      // Booleans: exactly "true" or "false".
      {"auth true", {{"ZIVIROR_REQUIRE_AUTH", "true"}}, kRequireAuth, "true", ""},
      {"auth one", {{"ZIVIROR_REQUIRE_AUTH", "1"}}, kRequireAuth, "false",
       "Invalid value for ZIVIROR_REQUIRE_AUTH: \"1\" ("},
      {"auth True", {{"ZIVIROR_REQUIRE_AUTH", "True"}}, kRequireAuth, "false",
       "Invalid value for ZIVIROR_REQUIRE_AUTH: \"True\" ("},
      {"auth not unicode", {{"ZIVIROR_REQUIRE_AUTH", kNotUnicode}}, kRequireAuth, "false",
       "Non-Unicode value for ZIVIROR_REQUIRE_AUTH — using default"},
      // Sizes.
      {"limit 512MB", {{"ZIVIROR_MEMORY_LIMIT", "512MB"}}, kMemoryLimit, "536870912", ""},
      {"limit spaced", {{"ZIVIROR_MEMORY_LIMIT", " 512 mib "}}, kMemoryLimit, "536870912", ""},
      {"limit bad", {{"ZIVIROR_MEMORY_LIMIT", "1.5GB"}}, kMemoryLimit, "none",
       "Invalid ZIVIROR_MEMORY_LIMIT=\"1.5GB\" (invalid memory limit \"1.5GB\": expected a number with "
       "optional KB/MB/GB suffix) - ignoring"},
      {"limit blank", {{"ZIVIROR_MEMORY_LIMIT", "  "}}, kMemoryLimit, "none",
       "Invalid ZIVIROR_MEMORY_LIMIT=\"  \" (empty memory limit) - ignoring"},
      {"limit not unicode", {{"ZIVIROR_MEMORY_LIMIT", kNotUnicode}}, kMemoryLimit, "none",
       "Non-Unicode value for ZIVIROR_MEMORY_LIMIT - ignoring"},
      {"audit 1MB", {{"ZIVIROR_AUDIT_MAX_BYTES", "1MB"}}, kAuditMaxBytes, "1048576", ""},
      {"audit bad is silent", {{"ZIVIROR_AUDIT_MAX_BYTES", "lots"}}, kAuditMaxBytes, "10485760", ""},
      {"audit not unicode is silent", {{"ZIVIROR_AUDIT_MAX_BYTES", kNotUnicode}}, kAuditMaxBytes, "10485760", ""},
      // Prefetch.
      {"prefetch ENABLED", {{"ZIVIROR_PREFETCH", "  ENABLED "}}, kPrefetch, "Enabled", ""},
      {"prefetch AUTO", {{"ZIVIROR_PREFETCH", "AUTO"}}, kPrefetch, "Auto", ""},
      {"prefetch unknown", {{"ZIVIROR_PREFETCH", "sometimes"}}, kPrefetch, "Disabled",
       "Unrecognized ZIVIROR_PREFETCH=\"sometimes\" — expected \"enabled\", \"disabled\", or \"auto\". "
       "Using default: Disabled"},
      {"prefetch empty", {{"ZIVIROR_PREFETCH", ""}}, kPrefetch, "Disabled", "Unrecognized ZIVIROR_PREFETCH=\"\""},
      {"prefetch not unicode", {{"ZIVIROR_PREFETCH", kNotUnicode}}, kPrefetch, "Disabled", ""},
      {"disable prefetch ignored", {{"ZIVIROR_PREFETCH", "on"}, {"ZIVIROR_DISABLE_PREFETCH", "1"}}, kPrefetch,
       "Enabled", ""},
      // Backend: exact words.
      {"backend memory", {{"ZIVIROR_BACKEND", "memory"}}, kBackend, "InMemory", ""},
      {"backend in-memory", {{"ZIVIROR_BACKEND", "in-memory"}}, kBackend, "InMemory", ""},
      {"backend rocksdb", {{"ZIVIROR_BACKEND", "rocksdb"}}, kBackend, "RocksDb", ""},
      {"backend morva", {{"ZIVIROR_BACKEND", "morva"}}, kBackend, "Morva", ""},
      {"backend Memory", {{"ZIVIROR_BACKEND", "Memory"}}, kBackend, "Morva",
       "Unrecognized ZIVIROR_BACKEND=\"Memory\" — expected \"rocksdb\" or \"memory\". Using default: Morva"},
      {"backend not unicode", {{"ZIVIROR_BACKEND", kNotUnicode}}, kBackend, "Morva", ""},
      // Log format.
      {"log json TRUE", {{"ZIVIROR_LOG_JSON", "TRUE"}}, kLogFormat, "Compact", ""},
      {"log json wins", {{"ZIVIROR_LOG_JSON", "1"}, {"ZIVIROR_LOG_FORMAT", "full"}}, kLogFormat, "Json", ""},
      {"log format verbose", {{"ZIVIROR_LOG_FORMAT", " Verbose "}}, kLogFormat, "Full", ""},
      {"log format json", {{"ZIVIROR_LOG_JSON", "no"}, {"ZIVIROR_LOG_FORMAT", "JSON"}}, kLogFormat, "Json", ""},
      {"log format unknown", {{"ZIVIROR_LOG_FORMAT", "xml"}}, kLogFormat, "Compact",
       "Unrecognized ZIVIROR_LOG_FORMAT=\"xml\" — expected \"compact\", \"json\", or \"full\". "
       "Using default: Compact"},
      // Lists and the map.
      {"ttl map", {{"ZIVIROR_MEMORY_DEFAULT_TTL_MS", "a:100, b:200,, c:x, :5, a:300"}}, kTtls, "a=300;b=200;",
       "Invalid ZIVIROR_MEMORY_DEFAULT_TTL_MS entry \"c:x\" (", 8, 2},
      {"ttl no colon", {{"ZIVIROR_MEMORY_DEFAULT_TTL_MS", "ns 5, n s : +7 "}}, kTtls, "n s=7;",
       "Invalid ZIVIROR_MEMORY_DEFAULT_TTL_MS entry \"ns 5\" — expected `namespace:ms`; skipping"},
      {"ttl empty ms", {{"ZIVIROR_MEMORY_DEFAULT_TTL_MS", "a:"}}, kTtls, "",
       "Invalid ZIVIROR_MEMORY_DEFAULT_TTL_MS entry \"a:\" ("},
      {"proxies", {{"ZIVIROR_TRUSTED_PROXIES", "10.0.0.1, ::1, 10.0.0.0/8"}}, kProxies, "10.0.0.1;0:0:0:0:0:0:0:1;",
       "Invalid ZIVIROR_TRUSTED_PROXIES entry \"10.0.0.0/8\" — ignoring: "},
      {"proxies keep duplicates", {{"ZIVIROR_TRUSTED_PROXIES", "1.1.1.1,,1.1.1.1"}}, kProxies, "1.1.1.1;1.1.1.1;",
       ""},
      {"origins", {{"ZIVIROR_ALLOWED_ORIGINS", " https://a , ,b,"}}, kOrigins, "https://a;b;", ""},
      {"origins not unicode", {{"ZIVIROR_ALLOWED_ORIGINS", kNotUnicode}}, kOrigins, "", ""},
      // Confidence threshold.
      {"confidence quarter", {{"ZIVIROR_CONFIDENCE_THRESHOLD", " 0.25 "}}, kConfidence, "0.25", ""},
      {"confidence one", {{"ZIVIROR_CONFIDENCE_THRESHOLD", "1"}}, kConfidence, "1", ""},
      {"confidence zero", {{"ZIVIROR_CONFIDENCE_THRESHOLD", "0"}}, kConfidence, "0", ""},
      {"confidence above", {{"ZIVIROR_CONFIDENCE_THRESHOLD", "1.5"}}, kConfidence, "none",
       "Invalid ZIVIROR_CONFIDENCE_THRESHOLD=\"1.5\" — expected a value in [0,1]; ignoring"},
      {"confidence nan", {{"ZIVIROR_CONFIDENCE_THRESHOLD", "NaN"}}, kConfidence, "none",
       "Invalid ZIVIROR_CONFIDENCE_THRESHOLD=\"NaN\" — expected a value in [0,1]; ignoring"},
      {"confidence negative", {{"ZIVIROR_CONFIDENCE_THRESHOLD", "-0.1"}}, kConfidence, "none",
       "Invalid ZIVIROR_CONFIDENCE_THRESHOLD=\"-0.1\" — expected a value in [0,1]; ignoring"},
      {"confidence text", {{"ZIVIROR_CONFIDENCE_THRESHOLD", "high"}}, kConfidence, "none",
       "Invalid ZIVIROR_CONFIDENCE_THRESHOLD=\"high\" ("},
      // Insert batching clamps.
      {"batch records over queue", {{"ZIVIROR_INSERT_BATCH_MAX_RECORDS", "5000"}}, kInsertBatch,
       "off 1024 1 1024", ""},
      {"batch wait clamp", {{"ZIVIROR_INSERT_BATCH_WAIT_MS", "100000"}}, kInsertBatch, "off 32 60000 1024", ""},
      {"batch zeros", {{"ZIVIROR_INSERT_BATCH_MAX_RECORDS", "0"}, {"ZIVIROR_INSERT_BATCH_QUEUE", "0"},
        {"ZIVIROR_INSERT_BATCH_WAIT_MS", "0"}}, kInsertBatch, "off 32 0 1024", ""},
      {"batch small queue", {{"ZIVIROR_INSERT_BATCH_QUEUE", "10"}, {"ZIVIROR_INSERT_BATCH_ENABLED", "true"}},
       kInsertBatch, "on 10 1 10", ""},
      {"batch enabled bad", {{"ZIVIROR_INSERT_BATCH_ENABLED", "yes"}}, kInsertBatch, "off 32 1 1024",
       "Invalid value for ZIVIROR_INSERT_BATCH_ENABLED: \"yes\" ("},
      // Thread and connection defaults follow the processor count only.
      {"threads override", {{"ZIVIROR_MAX_BLOCKING_THREADS", "3"}}, kThreads, "3 32", ""},
      {"threads unknown count", {}, kThreads, "16 32", "", 0},
      {"threads three cpus", {}, kThreads, "6 12", "", 3},
      {"connections set", {{"ZIVIROR_MAX_CONNECTIONS", "7"}}, kThreads, "16 7", ""},
      // Texts and hosts.
      {"host fallback", {{"HOST", "h.example"}}, kHost, "h.example", ""},
      {"host own first", {{"HOST", "h"}, {"ZIVIROR_HOST", "z"}}, kHost, "z", ""},
      {"host not unicode falls back", {{"HOST", "h"}, {"ZIVIROR_HOST", kNotUnicode}}, kHost, "h", ""},
      {"path untrimmed", {{"ZIVIROR_STORAGE_PATH", " d "}}, kStoragePath, " d ", ""},
      {"path not unicode", {{"ZIVIROR_STORAGE_PATH", kNotUnicode}}, kStoragePath, "ziviror_data", ""},
      {"api key empty", {{"ZIVIROR_API_KEY", ""}}, kApiKey, "[]", ""},
      {"api key not unicode", {{"ZIVIROR_API_KEY", kNotUnicode}}, kApiKey, "none", ""},
  };
  for (const Case& c : cases) {
    log::CaptureSink sink;
    Config config = Config::from_source(source_of(c.vars, c.processors));
    EXPECT_EQ(c.field(config), c.expected) << c.name;
    std::vector<std::string> warnings = warnings_of(sink);
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty()) << c.name << ": " << (warnings.empty() ? "" : warnings[0]);
    } else {
      ASSERT_EQ(warnings.size(), c.warning_count) << c.name;
      EXPECT_EQ(warnings[0].substr(0, c.warning.size()), c.warning) << c.name;
    }
  }
}

TEST(ConfigTest, SecretsNeverReachEvents) {
  const std::string secret = "s3cr3t-Value";
  Vars vars;
  for (const char* name : {"ZIVIROR_OPENAI_API_KEY", "ZIVIROR_API_KEY", "ZIVIROR_ALT_API_KEY",
                           "ZIVIROR_JWT_SECRET", "ZIVIROR_ENCRYPTION_KEY"})
    vars[name] = secret + name;
  log::CaptureSink sink;
  Config c = Config::from_source(source_of(vars));
  EXPECT_EQ(c.jwt_secret, secret + "ZIVIROR_JWT_SECRET");
  EXPECT_EQ(c.encryption_key, secret + "ZIVIROR_ENCRYPTION_KEY");
  bool api_key_flag = false;
  for (const auto& e : sink.events()) {
    EXPECT_EQ(e.message.find(secret), std::string::npos) << e.message;
    for (const auto& [k, v] : e.fields) {
      EXPECT_EQ(v.find(secret), std::string::npos) << k;
      if (k == "present" && e.message.find("ZIVIROR_API_KEY") != std::string::npos) api_key_flag = v == "true";
    }
  }
  EXPECT_TRUE(api_key_flag);
  EXPECT_TRUE(sink.contains("ZIVIROR_OPENAI_API_KEY is set (value not logged)"));
  EXPECT_TRUE(sink.contains("ZIVIROR_ENCRYPTION_KEY is set (value not logged)"));
}

TEST(ConfigTest, FromEnvReadsTheProcessEnvironment) {
  ::setenv("ZIVIROR_PORT", "+9091", 1);
  ::setenv("ZIVIROR_STORAGE_PATH", "\xc3\x28", 1);  // not UTF-8
  ::setenv("ZIVIROR_WAL_SHARDS", "\xc3\x28", 1);
  log::CaptureSink sink;
  Config c = Config::from_env();
  ::unsetenv("ZIVIROR_PORT");
  ::unsetenv("ZIVIROR_STORAGE_PATH");
  ::unsetenv("ZIVIROR_WAL_SHARDS");
  EXPECT_EQ(c.port, 9091);
  EXPECT_EQ(c.storage_path, "ziviror_data");
  EXPECT_EQ(c.wal_shards, 4u);
  EXPECT_TRUE(sink.contains("Non-Unicode value for ZIVIROR_WAL_SHARDS — using default"));
}

}  // namespace
}  // namespace zv
