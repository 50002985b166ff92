#include "src/foundation/error.h"

#include "platform/panic.h"

namespace zv {

namespace {

constexpr const char* kKindNames[kZolvaErrorKindCount] = {
    "NodeNotFound",        "DuplicateNode",   "DimensionMismatch", "Wal",
    "WALVersionMismatch",  "Serialization",   "Io",                "IncompatibleFormat",
    "NotInitialized",      "ResourceLimit",   "NodeIdCollision",   "CycleDetected",
    "VovParse",            "NotFound",        "Validation",        "Timeout",
    "UnsupportedOperation", "ExecutionConflict", "Vov",            "Cli",
    "Search",              "Runtime",         "Restore",           "Backup",
    "Generic",             "Backend",         "InvalidInput",      "Schema",
    "DatabaseBusy",        "NoVectorForKey",  "VectorLenOverflow", "EdgeCountOverflow",
};

// The prefix of the key-value engine's errors once they are I/O errors.
constexpr std::string_view kEngineErrorPrefix = "MorvaError: ";

std::string dec(uint64_t v) { return std::to_string(v); }

// Concatenation of the pieces of one template.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(parts), ...);
  return out;
}

class ZolvaErrorBox : public ErrorBase {
 public:
  explicit ZolvaErrorBox(ZolvaError e) : e_(std::move(e)) {}
  std::string message() const override { return e_.message(); }
  BoxedError source() const override { return e_.source(); }
  std::string debug_string() const override { return e_.debug_string(); }

 private:
  ZolvaError e_;
};

// Builders of the diagnostic rendering.
std::string tuple_debug(ZolvaErrorKind k, const std::string& inner) {
  return cat(std::string(zolva_error_kind_name(k)), std::string("("), inner, std::string(")"));
}

class StructDebug {
 public:
  explicit StructDebug(ZolvaErrorKind k) : out_(zolva_error_kind_name(k)) { out_ += " { "; }
  StructDebug& field(const char* name, const std::string& rendered) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
    out_ += rendered;
    return *this;
  }
  std::string done() { return out_ + " }"; }

 private:
  std::string out_;
  bool first_ = true;
};

}  // namespace

std::string magic_byte_list(std::span<const uint8_t> m) {
  std::string out = "[";
  for (size_t i = 0; i < m.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(m[i]);
  }
  out += "]";
  return out;
}

const char* zolva_error_kind_name(ZolvaErrorKind kind) {
  auto i = static_cast<size_t>(kind);
  return i < static_cast<size_t>(kZolvaErrorKindCount) ? kKindNames[i] : "Unknown";
}

ZolvaError ZolvaError::serialization(uint8_t format_code) {
  return Serialization{box_error(BinaryFormatError(format_code))};
}

ZolvaError ZolvaError::serialization_boxed(BoxedError error) {
  ZV_CHECK(error != nullptr, "Serialization error without a boxed error");
  return Serialization{std::move(error)};
}

ZolvaError ZolvaError::chained(ZolvaErrorKind kind, ChainedError error) {
  switch (kind) {
    case ZolvaErrorKind::kWal: return Wal{std::move(error)};
    case ZolvaErrorKind::kVov: return Vov{std::move(error)};
    case ZolvaErrorKind::kCli: return Cli{std::move(error)};
    case ZolvaErrorKind::kSearch: return Search{std::move(error)};
    case ZolvaErrorKind::kRuntime: return Runtime{std::move(error)};
    case ZolvaErrorKind::kRestore: return Restore{std::move(error)};
    case ZolvaErrorKind::kBackup: return Backup{std::move(error)};
    case ZolvaErrorKind::kGeneric: return Generic{std::move(error)};
    case ZolvaErrorKind::kBackend: return Backend{std::move(error)};
    default:
      panic(cat(std::string("ZolvaError::chained called for variant "),
                std::string(zolva_error_kind_name(kind))));
  }
}

ZolvaError ZolvaError::from_engine(std::string_view engine_message) {
  std::string text(kEngineErrorPrefix);
  text += engine_message;
  return ZolvaError(IoError(IoErrorKind::kOther, std::move(text)));
}

const ChainedError* ZolvaError::chained_error() const {
  return std::visit(
      [](const auto& v) -> const ChainedError* {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, Wal> || std::is_same_v<V, Vov> ||
                      std::is_same_v<V, Cli> || std::is_same_v<V, Search> ||
                      std::is_same_v<V, Runtime> || std::is_same_v<V, Restore> ||
                      std::is_same_v<V, Backup> || std::is_same_v<V, Generic> ||
                      std::is_same_v<V, Backend>) {
          return &v.error;
        } else {
          return nullptr;
        }
      },
      payload_);
}

std::string ZolvaError::message() const {
  using K = ZolvaErrorKind;
  const ChainedError* chained = chained_error();
  switch (kind()) {
    case K::kNodeNotFound:
      return cat(std::string("Node not found: "), node_id_to_string(as<NodeNotFound>()->id));
    case K::kDuplicateNode:
      return cat(std::string("Duplicate node ID: "), node_id_to_string(as<DuplicateNode>()->id));
    case K::kDimensionMismatch: {
      const auto& v = *as<DimensionMismatch>();
      return cat(std::string("Vector dimension mismatch: expected "), dec(v.expected),
                 std::string(", got "), dec(v.got));
    }
    case K::kWal: return cat(std::string("WAL error: "), chained->msg());
    case K::kWalVersionMismatch: {
      const auto& v = *as<WalVersionMismatch>();
      return cat(std::string("WAL version mismatch: expected "), dec(v.expected),
                 std::string(", found "), dec(v.found), std::string(". Hint: "), v.hint);
    }
    case K::kSerialization:
      return cat(std::string("Serialization error: "), as<Serialization>()->error->message());
    case K::kIo: return cat(std::string("IO error: "), as<Io>()->error.message());
    case K::kIncompatibleFormat: {
      const auto& v = *as<IncompatibleFormat>();
      return cat(std::string("Incompatible binary format: expected magic "),
                 magic_byte_list(v.expected_magic), std::string(", version "),
                 dec(v.expected_version), std::string(", found magic "),
                 magic_byte_list(v.found_magic), std::string(", version "), dec(v.found_version),
                 std::string(". Hint: "), v.hint);
    }
    case K::kNotInitialized: return "Engine not initialized";
    case K::kResourceLimit:
      return cat(std::string("Resource limit exceeded: "), as<ResourceLimit>()->text);
    case K::kNodeIdCollision:
      return cat(std::string("Node ID collision: "), node_id_to_string(as<NodeIdCollision>()->id));
    case K::kCycleDetected: return "Cycle detected in graph operation";
    case K::kVovParse: {
      const auto& v = *as<VovParse>();
      return cat(std::string("VOV parse error at line "), dec(v.line), std::string(", col "),
                 dec(v.col), std::string(": "), v.msg);
    }
    case K::kNotFound: {
      const auto& v = *as<NotFound>();
      return cat(v.kind, std::string(" not found: "), v.id);
    }
    case K::kValidation: {
      const auto& v = *as<Validation>();
      return cat(std::string("Validation error on "), v.field, std::string(": "), v.reason);
    }
    case K::kTimeout: {
      const auto& v = *as<Timeout>();
      return cat(std::string("Operation "), v.operation, std::string(" timed out after "),
                 dec(v.duration_ms), std::string("ms"));
    }
    case K::kUnsupportedOperation: {
      const auto& v = *as<UnsupportedOperation>();
      return cat(std::string("Unsupported operation: "), v.operation,
                 std::string(" \u2014 "), v.detail);
    }
    case K::kExecutionConflict: {
      const auto& v = *as<ExecutionConflict>();
      return cat(std::string("Execution conflict on "), v.resource, std::string(": "), v.detail);
    }
    case K::kVov: return cat(std::string("VOV error: "), chained->msg());
    case K::kCli: return cat(std::string("CLI error: "), chained->msg());
    case K::kSearch: return cat(std::string("Search error: "), chained->msg());
    case K::kRuntime: return cat(std::string("Runtime error: "), chained->msg());
    case K::kRestore: return cat(std::string("Restore error: "), chained->msg());
    case K::kBackup: return cat(std::string("Backup error: "), chained->msg());
    case K::kGeneric: return cat(std::string("Generic error: "), chained->msg());
    case K::kBackend: return cat(std::string("Backend error: "), chained->msg());
    case K::kInvalidInput: return cat(std::string("Invalid input: "), as<InvalidInput>()->text);
    case K::kSchema: return cat(std::string("Schema error: "), as<Schema>()->text);
    case K::kDatabaseBusy: return cat(std::string("Database busy: "), as<DatabaseBusy>()->text);
    case K::kNoVectorForKey:
      return cat(std::string("No vector stored for key: "), as<NoVectorForKey>()->text);
    case K::kVectorLenOverflow: {
      const auto& v = *as<VectorLenOverflow>();
      return cat(std::string("node "), node_id_to_string(v.id), std::string(" vector_len "),
                 dec(v.len), std::string(" exceeds u32 limit of "), dec(v.limit));
    }
    case K::kEdgeCountOverflow: {
      const auto& v = *as<EdgeCountOverflow>();
      return cat(std::string("node "), node_id_to_string(v.id), std::string(" has "),
                 dec(v.count),
                 std::string(" edges, exceeding the DiskNodeHeader u16 edge_count limit of "),
                 dec(v.limit));
    }
  }
  panic("ZolvaError holds no variant");
}

std::string ZolvaError::debug_string() const {
  using K = ZolvaErrorKind;
  const K k = kind();
  if (const ChainedError* chained = chained_error()) return tuple_debug(k, chained->debug_string());
  switch (k) {
    case K::kNodeNotFound: return tuple_debug(k, node_id_to_string(as<NodeNotFound>()->id));
    case K::kDuplicateNode: return tuple_debug(k, node_id_to_string(as<DuplicateNode>()->id));
    case K::kNodeIdCollision: return tuple_debug(k, node_id_to_string(as<NodeIdCollision>()->id));
    case K::kDimensionMismatch: {
      const auto& v = *as<DimensionMismatch>();
      return StructDebug(k).field("expected", dec(v.expected)).field("got", dec(v.got)).done();
    }
    case K::kWalVersionMismatch: {
      const auto& v = *as<WalVersionMismatch>();
      return StructDebug(k)
          .field("expected", dec(v.expected))
          .field("found", dec(v.found))
          .field("hint", debug_quote(v.hint))
          .done();
    }
    case K::kSerialization: return tuple_debug(k, as<Serialization>()->error->debug_string());
    case K::kIo: return tuple_debug(k, io_error_debug_string(as<Io>()->error));
    case K::kIncompatibleFormat: {
      const auto& v = *as<IncompatibleFormat>();
      return StructDebug(k)
          .field("expected_magic", magic_byte_list(v.expected_magic))
          .field("expected_version", dec(v.expected_version))
          .field("found_magic", magic_byte_list(v.found_magic))
          .field("found_version", dec(v.found_version))
          .field("hint", debug_quote(v.hint))
          .done();
    }
    case K::kNotInitialized:
    case K::kCycleDetected: return zolva_error_kind_name(k);
    case K::kResourceLimit: return tuple_debug(k, debug_quote(as<ResourceLimit>()->text));
    case K::kInvalidInput: return tuple_debug(k, debug_quote(as<InvalidInput>()->text));
    case K::kSchema: return tuple_debug(k, debug_quote(as<Schema>()->text));
    case K::kDatabaseBusy: return tuple_debug(k, debug_quote(as<DatabaseBusy>()->text));
    case K::kNoVectorForKey: return tuple_debug(k, debug_quote(as<NoVectorForKey>()->text));
    case K::kVovParse: {
      const auto& v = *as<VovParse>();
      return StructDebug(k)
          .field("msg", debug_quote(v.msg))
          .field("line", dec(v.line))
          .field("col", dec(v.col))
          .done();
    }
    case K::kNotFound: {
      const auto& v = *as<NotFound>();
      return StructDebug(k).field("kind", debug_quote(v.kind)).field("id", debug_quote(v.id)).done();
    }
    case K::kValidation: {
      const auto& v = *as<Validation>();
      return StructDebug(k)
          .field("field", debug_quote(v.field))
          .field("reason", debug_quote(v.reason))
          .done();
    }
    case K::kTimeout: {
      const auto& v = *as<Timeout>();
      return StructDebug(k)
          .field("operation", debug_quote(v.operation))
          .field("duration_ms", dec(v.duration_ms))
          .done();
    }
    case K::kUnsupportedOperation: {
      const auto& v = *as<UnsupportedOperation>();
      return StructDebug(k)
          .field("operation", debug_quote(v.operation))
          .field("detail", debug_quote(v.detail))
          .done();
    }
    case K::kExecutionConflict: {
      const auto& v = *as<ExecutionConflict>();
      return StructDebug(k)
          .field("resource", debug_quote(v.resource))
          .field("detail", debug_quote(v.detail))
          .done();
    }
    case K::kVectorLenOverflow: {
      const auto& v = *as<VectorLenOverflow>();
      return StructDebug(k)
          .field("id", node_id_to_string(v.id))
          .field("len", dec(v.len))
          .field("limit", dec(v.limit))
          .done();
    }
    case K::kEdgeCountOverflow: {
      const auto& v = *as<EdgeCountOverflow>();
      return StructDebug(k)
          .field("id", node_id_to_string(v.id))
          .field("count", dec(v.count))
          .field("limit", dec(v.limit))
          .done();
    }
    default: break;  // the chained variants returned above
  }
  panic("ZolvaError holds no variant");
}

BoxedError ZolvaError::source() const {
  if (const auto* s = as<Serialization>()) return s->error;
  if (const auto* io = as<Io>()) return box_error(io->error);
  return nullptr;
}

BoxedError box_error(ZolvaError e) { return std::make_shared<const ZolvaErrorBox>(std::move(e)); }

}  // namespace zv
