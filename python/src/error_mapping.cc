#include "python/src/error_mapping.h"

#include <cstdint>

namespace zv::py {

namespace {

constexpr const char* kCodeNotFound = "ZIVIROR_NOT_FOUND";
constexpr const char* kCodeValidation = "ZIVIROR_VALIDATION_ERROR";
constexpr const char* kCodeIo = "ZIVIROR_IO_ERROR";
constexpr const char* kCodeCorrupt = "ZIVIROR_CORRUPT";
constexpr const char* kCodeBusy = "ZIVIROR_BUSY";
constexpr const char* kCodeResourceLimit = "ZIVIROR_RESOURCE_LIMIT";
constexpr const char* kCodeTimeout = "ZIVIROR_TIMEOUT";
constexpr const char* kCodeInvalidArgument = "ZIVIROR_INVALID_ARGUMENT";
constexpr const char* kCodeWasm = "ZIVIROR_WASM_ERROR";

constexpr const char* kHintNodeNotFound = "The node may have been deleted or never existed";
constexpr const char* kHintWal =
    "Run 'zolva-cli wal salvage --dry-run' on a copy, then without it to repair";
constexpr const char* kHintWalVersion = "The WAL was written by a different version of ZivirOR";
constexpr const char* kHintIncompatible = "Delete the WAL or run dump/restore to migrate formats";
constexpr const char* kHintResourceLimit = "Reduce memory pressure or increase configured limits";
constexpr const char* kHintNotFound = "Verify that the namespace or identifier is spelled correctly";
constexpr const char* kHintTimeout = "Increase the timeout or reduce system load";
constexpr const char* kHintRestore = "Check that the backup file exists and is readable";
constexpr const char* kHintBackup = "Ensure the backup directory is writable and has free space";
constexpr const char* kHintSchema = "Reinitialize the database or restore from backup";
constexpr const char* kHintBusy = "Wait for the lock to be released and retry";
constexpr const char* kHintVectorLen =
    "Reduce the vector dimensionality \u2014 it does not fit the on-disk header field";
constexpr const char* kHintEdgeCount =
    "Reduce the node's outgoing edge fan-out below the persisted header limit";

// Kind indexes whose errors are worth retrying: Wal, ResourceLimit, Timeout,
// Backend, DatabaseBusy.
constexpr uint32_t kRetriableSet = (1u << 3) | (1u << 9) | (1u << 15) | (1u << 25) | (1u << 28);

struct Row {
  ExcClass cls;
  const char* code;
  const char* hint;
};

using C = ExcClass;
// Indexed by the kind index, in the core error's declaration order.
constexpr Row kRows[kZolvaErrorKindCount] = {
    {C::kNotFoundError, kCodeNotFound, kHintNodeNotFound},        // NodeNotFound
    {C::kValidationError, kCodeValidation, nullptr},              // DuplicateNode
    {C::kValidationError, kCodeValidation, nullptr},              // DimensionMismatch
    {C::kCorruptError, kCodeIo, kHintWal},                        // Wal
    {C::kCorruptError, kCodeCorrupt, kHintWalVersion},            // WALVersionMismatch
    {C::kValidationError, kCodeCorrupt, nullptr},                 // Serialization
    {C::kStorageError, kCodeIo, nullptr},                         // Io
    {C::kCorruptError, kCodeCorrupt, kHintIncompatible},          // IncompatibleFormat
    {C::kBusyError, kCodeBusy, nullptr},                          // NotInitialized
    {C::kResourceLimitError, kCodeResourceLimit, kHintResourceLimit},  // ResourceLimit
    {C::kValidationError, kCodeValidation, nullptr},              // NodeIdCollision
    {C::kConflictError, kCodeValidation, nullptr},                // CycleDetected
    {C::kValidationError, kCodeValidation, nullptr},              // VovParse
    {C::kNotFoundError, kCodeNotFound, kHintNotFound},            // NotFound
    {C::kValidationError, kCodeValidation, nullptr},              // Validation
    {C::kTimeoutError, kCodeTimeout, kHintTimeout},               // Timeout
    {C::kUnsupportedError, kCodeValidation, nullptr},             // UnsupportedOperation
    {C::kConflictError, kCodeValidation, nullptr},                // ExecutionConflict
    {C::kValidationError, kCodeInvalidArgument, nullptr},         // Vov
    {C::kError, kCodeIo, nullptr},                                // Cli
    {C::kError, kCodeIo, nullptr},                                // Search
    {C::kError, kCodeIo, nullptr},                                // Runtime
    {C::kError, kCodeCorrupt, kHintRestore},                      // Restore
    {C::kError, kCodeCorrupt, kHintBackup},                       // Backup
    {C::kError, kCodeWasm, nullptr},                              // Generic
    {C::kStorageError, kCodeIo, nullptr},                         // Backend
    {C::kValidationError, kCodeValidation, nullptr},              // InvalidInput
    {C::kValidationError, kCodeCorrupt, kHintSchema},             // Schema
    {C::kBusyError, kCodeBusy, kHintBusy},                        // DatabaseBusy
    {C::kNoVectorError, kCodeValidation, nullptr},                // NoVectorForKey
    {C::kError, kCodeResourceLimit, kHintVectorLen},              // VectorLenOverflow
    {C::kError, kCodeResourceLimit, kHintEdgeCount},              // EdgeCountOverflow
};

constexpr const char* kAttrCode = "code";
constexpr const char* kAttrRetriable = "retriable";
constexpr const char* kAttrHint = "hint";

// Sets one attribute; a failure is taken off the thread and dropped.
void set_attr_or_drop(PyObject* obj, const char* name, PyObject* value) {
  if (value == nullptr || PyObject_SetAttrString(obj, name, value) != 0) PyErr_Clear();
}

}  // namespace

ErrorMapping error_mapping(int kind_index) {
  const Row& r = kRows[kind_index];
  return ErrorMapping{r.cls, r.code, ((kRetriableSet >> kind_index) & 1u) != 0, r.hint};
}

PyRef to_py_err(ZolvaError error) {
  const ErrorMapping m = error_mapping(error.kind_index());
  const std::string message = error.message();
  WithGil gil;
  PyRef inst = PyErr::lazy(exception_class(m.cls), message).into_instance();
  if (!inst) return inst;
  PyObject* obj = inst.get();
  PyRef code = PyRef::steal(PyUnicode_FromString(m.code));
  set_attr_or_drop(obj, kAttrCode, code.get());
  set_attr_or_drop(obj, kAttrRetriable, m.retriable ? Py_True : Py_False);
  PyRef hint = m.hint != nullptr ? PyRef::steal(PyUnicode_FromString(m.hint)) : PyRef::borrow(Py_None);
  set_attr_or_drop(obj, kAttrHint, hint.get());
  return inst;
}

}  // namespace zv::py
