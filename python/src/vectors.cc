#include "python/src/vectors.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "python/src/args.h"
#include "python/src/list_conversions.h"
#include "python/src/vector_type.h"
#include "src/record/float_text.h"

namespace zv::py {

namespace {

constexpr const char* kExpectedVector =
    "Expected a list of floats or a NumPy array (buffer protocol). Got: ";
constexpr const char* kLogTarget = "dozudaz_id::convert";

// The buffer of `obj`, released with the scope; none when it exports none.
class BufferView {
 public:
  explicit BufferView(PyObject* obj) {
    if (PyObject_CheckBuffer(obj) && PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0) {
      held_ = true;
    } else {
      PyErr_Clear();
    }
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }
  // Native (little-endian) float of this item size: "f"/"d" with an
  // optional "<", "=" or "@" order mark.
  bool is_float(Py_ssize_t itemsize, char code) const {
    if (!held_ || view_.itemsize != itemsize || view_.format == nullptr) return false;
    const char* f = view_.format;
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    return f[0] == code && f[1] == '\0';
  }
  size_t count() const { return static_cast<size_t>(view_.len / view_.itemsize); }
  bool c_contiguous() const { return view_.buf != nullptr && PyBuffer_IsContiguous(&view_, 'C'); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

std::optional<std::vector<float>> read_f32_buffer(const BufferView& b) {
  std::vector<float> out(b.count());
  if (out.empty()) return out;
  const size_t bytes = out.size() * sizeof(float);
  if (b.c_contiguous()) {
    std::memcpy(out.data(), b.view().buf, bytes);
    return out;
  }
  // Strided and Fortran-order views: the interpreter copies into C order.
  if (PyBuffer_ToContiguous(out.data(), const_cast<Py_buffer*>(&b.view()),
                            static_cast<Py_ssize_t>(bytes), 'C') != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return out;
}

std::vector<float> read_f64_buffer(const BufferView& b) {
  std::vector<float> out(b.count());
  const auto* src = static_cast<const unsigned char*>(b.view().buf);
  for (size_t i = 0; i < out.size(); ++i) {
    double d;
    std::memcpy(&d, src + i * sizeof(double), sizeof(double));
    out[i] = static_cast<float>(d);
    if (log::enabled(log::Level::kDebug)) {
      double delta = std::fabs(static_cast<double>(out[i]) - d);
      if (delta > 1e-7) {
        log::emit(log::Level::kDebug, kLogTarget,
                  "Precision loss casting f64 " + float_debug(d) + " to f32: delta=" + float_debug(delta),
                  {});
      }
    }
  }
  return out;
}

PyErr sparse_error(std::string text) { return PyErr::lazy(PyExc_ValueError, std::move(text)); }

}  // namespace

PyResult<std::vector<float>> extract_vector(PyObject* obj) {
  {
    BufferView buffer(obj);
    if (buffer.is_float(4, 'f')) {
      if (auto v = read_f32_buffer(buffer)) return std::move(*v);
    }
    if (buffer.is_float(8, 'd') && buffer.c_contiguous()) return read_f64_buffer(buffer);
  }
  PyResult<std::vector<float>> seq = extract_f32_list(obj);
  if (seq.ok()) return seq;
  PyRef failed = std::move(seq).error().into_instance();
  std::string text = kExpectedVector + type_name(failed.get()) + ": " + str_text(failed.get());
  return py_fail(PyErr::lazy(PyExc_TypeError, std::move(text)));
}

PyResult<std::optional<SparseVector>> sparse_vector_from_py(PyObject* dict) {
  if (dict == nullptr || PyDict_Size(dict) == 0) return std::optional<SparseVector>();
  SparseVector out;
  ZV_TRY(walk_dict(dict, [&](PyObject* key, PyObject* value) -> PyStatus {
    PyRef index = PyRef::steal(PyNumber_Index(key));
    unsigned long long dim = 0;
    bool key_ok = false;
    if (index) {
      dim = PyLong_AsUnsignedLongLong(index.get());
      key_ok = !(dim == static_cast<unsigned long long>(-1) && PyErr_Occurred()) && dim <= 0xFFFFFFFFull;
    }
    PyErr_Clear();
    if (!key_ok) return py_fail(sparse_error("sparse_vector keys must be u32 dimension ids, got " + str_text(key)));
    const std::string prefix = "sparse_vector[" + std::to_string(dim) + "] ";
    double w = PyFloat_AsDouble(value);
    if (w == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return py_fail(sparse_error(prefix + "must be a float, got " + str_text(value)));
    }
    if (!std::isfinite(w)) return py_fail(sparse_error(prefix + "must be finite, got " + float_display(w)));
    const float f = static_cast<float>(w);
    if (!std::isfinite(f)) {
      return py_fail(sparse_error(prefix + "is out of range for f32 (got " + float_display(w) + ")"));
    }
    out.insert_or_assign(static_cast<uint32_t>(dim), f);
    return {};
  }));
  return std::optional<SparseVector>(std::move(out));
}

PyResult<std::optional<PyRef>> vector_to_numpy(const std::vector<float>& values) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
      return std::optional<PyRef>();
    }
    return py_fail_fetch();
  }
  PyRef array_fn = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array"));
  if (!array_fn) return py_fail_fetch();
  ZV_ASSIGN_OR_RETURN(PyRef vec, new_vector(values));
  PyRef out = PyRef::steal(PyObject_CallFunctionObjArgs(array_fn.get(), vec.get(), nullptr));
  if (!out) return py_fail_fetch();
  return std::optional<PyRef>(std::move(out));
}

PyResult<PyRef> vector_property(const std::optional<std::vector<float>>& vector) {
  if (!vector) return PyRef::borrow(Py_None);
  ZV_ASSIGN_OR_RETURN(std::optional<PyRef> array, vector_to_numpy(*vector));
  if (array) return std::move(*array);
  return to_ndarray(*vector, reinterpret_cast<PyObject*>(vector_type()));
}

std::string fixed4_text(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(value));
  return buf;
}

PyResult<PyRef> array_interface(const std::vector<float>& values) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return py_fail_fetch();
  std::string bytes(values.size() * sizeof(float), '\0');
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  } else {
    for (size_t i = 0; i < values.size(); ++i) {
      uint32_t bits = std::bit_cast<uint32_t>(values[i]);
      for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
  }
  PyRef shape = PyRef::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(values.size())));
  PyRef typestr = PyRef::steal(PyUnicode_FromString("<f4"));
  PyRef data = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  PyRef version = PyRef::steal(PyLong_FromLong(3));
  if (!shape || !typestr || !data || !version) return py_fail_fetch();
  if (PyDict_SetItemString(dict.get(), "shape", shape.get()) != 0 ||
      PyDict_SetItemString(dict.get(), "typestr", typestr.get()) != 0 ||
      PyDict_SetItemString(dict.get(), "data", data.get()) != 0 ||
      PyDict_SetItemString(dict.get(), "version", version.get()) != 0) {
    return py_fail_fetch();
  }
  return dict;
}

}  // namespace zv::py
