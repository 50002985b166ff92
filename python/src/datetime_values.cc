#include "python/src/datetime_values.h"

#include <cstdint>

namespace zv::py {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

// The datetime module's objects, held for the life of the process.
struct DatetimeApi {
  PyObject* datetime_type = nullptr;
  PyObject* timezone_type = nullptr;
  PyObject* timedelta_type = nullptr;
  PyObject* utc = nullptr;
  PyObject* epoch = nullptr;  // 1970-01-01 00:00 UTC
};

// Loaded on first use; a failed load is retried by the next caller.
const DatetimeApi* datetime_api() {
  static DatetimeApi api;
  static bool loaded = false;
  if (loaded) return &api;
  PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!module) return nullptr;
  PyRef datetime = PyRef::steal(PyObject_GetAttrString(module.get(), "datetime"));
  PyRef timezone = PyRef::steal(PyObject_GetAttrString(module.get(), "timezone"));
  PyRef timedelta = PyRef::steal(PyObject_GetAttrString(module.get(), "timedelta"));
  if (!datetime || !timezone || !timedelta) return nullptr;
  PyRef utc = PyRef::steal(PyObject_GetAttrString(timezone.get(), "utc"));
  if (!utc) return nullptr;
  PyRef epoch = PyRef::steal(
      PyObject_CallFunction(datetime.get(), "iiiiiiiO", 1970, 1, 1, 0, 0, 0, 0, utc.get()));
  if (!epoch) return nullptr;
  api.datetime_type = datetime.release();
  api.timezone_type = timezone.release();
  api.timedelta_type = timedelta.release();
  api.utc = utc.release();
  api.epoch = epoch.release();
  loaded = true;
  return &api;
}

// An int attribute of obj; none (error cleared) when missing or not an int.
std::optional<int64_t> int_attr(PyObject* obj, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!value) {
    PyErr_Clear();
    return std::nullopt;
  }
  long long v = PyLong_AsLongLong(value.get());
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

// The zone's fixed offset in microseconds, or none.
std::optional<int64_t> fixed_offset_micros(const DatetimeApi& api, PyObject* tzinfo) {
  if (tzinfo == api.utc) return 0;
  PyRef offset = PyRef::steal(PyObject_CallMethod(tzinfo, "utcoffset", "(O)", Py_None));
  if (!offset) {
    PyErr_Clear();
    return std::nullopt;
  }
  int is_delta = PyObject_IsInstance(offset.get(), api.timedelta_type);
  if (is_delta != 1) {
    PyErr_Clear();
    return std::nullopt;
  }
  auto days = int_attr(offset.get(), "days");
  auto seconds = int_attr(offset.get(), "seconds");
  auto micros = int_attr(offset.get(), "microseconds");
  if (!days || !seconds || !micros) return std::nullopt;
  return (*days * kSecondsPerDay + *seconds) * kMicrosPerSecond + *micros;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

PyResult<std::optional<DateTime>> aware_datetime_from_py(PyObject* obj) {
  const DatetimeApi* api = datetime_api();
  if (api == nullptr) return py_fail_fetch();
  int is_datetime = PyObject_IsInstance(obj, api->datetime_type);
  if (is_datetime != 1) {
    PyErr_Clear();
    return std::optional<DateTime>();
  }
  PyRef tzinfo = PyRef::steal(PyObject_GetAttrString(obj, "tzinfo"));
  if (!tzinfo) {
    PyErr_Clear();
    return std::optional<DateTime>();
  }
  if (tzinfo.get() == Py_None) return std::optional<DateTime>();
  std::optional<int64_t> offset = fixed_offset_micros(*api, tzinfo.get());
  if (!offset) return std::optional<DateTime>();
  const char* const parts[] = {"year", "month", "day", "hour", "minute", "second", "microsecond"};
  int64_t v[7];
  for (int i = 0; i < 7; ++i) {
    std::optional<int64_t> part = int_attr(obj, parts[i]);
    if (!part || *part < 0) return std::optional<DateTime>();
    v[i] = *part;
  }
  std::optional<DateTime> wall = DateTime::from_civil(v[0], static_cast<unsigned>(v[1]), static_cast<unsigned>(v[2]),
                                                      static_cast<unsigned>(v[3]), static_cast<unsigned>(v[4]),
                                                      static_cast<unsigned>(v[5]), 0);
  if (!wall) return std::optional<DateTime>();
  // Wall time minus the zone's offset is the UTC instant.
  const int64_t micros = wall->unix_seconds() * kMicrosPerSecond + v[6] - *offset;
  const int64_t seconds = floor_div(micros, kMicrosPerSecond);
  const int64_t sub = micros - seconds * kMicrosPerSecond;
  return DateTime::from_unix(seconds, static_cast<uint32_t>(sub * 1000));
}

bool is_plain_datetime(PyObject* obj) {
  const DatetimeApi* api = datetime_api();
  if (api == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != api->datetime_type) return false;
  PyRef tzinfo = PyRef::steal(PyObject_GetAttrString(obj, "tzinfo"));
  if (!tzinfo) {
    PyErr_Clear();
    return false;
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(tzinfo.get())) == api->timezone_type;
}

PyResult<PyRef> date_time_to_py(const DateTime& dt) {
  const DatetimeApi* api = datetime_api();
  if (api == nullptr) return py_fail_fetch();
  const int64_t seconds = dt.unix_seconds();
  const int64_t days = floor_div(seconds, kSecondsPerDay);
  const int64_t day_seconds = seconds - days * kSecondsPerDay;
  PyRef delta = PyRef::steal(PyObject_CallFunction(api->timedelta_type, "LLL", static_cast<long long>(days),
                                                   static_cast<long long>(day_seconds),
                                                   static_cast<long long>(dt.subsec_nanos() / 1000)));
  if (!delta) return py_fail_fetch();
  PyRef out = PyRef::steal(PyNumber_Add(api->epoch, delta.get()));
  if (!out) return py_fail_fetch();
  return out;
}

}  // namespace zv::py
