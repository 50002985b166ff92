// Date-time values between Python and the core. The stable ABI has no
// datetime C interface, so both directions go through the `datetime` module's
// own objects, fetched once per process, and instants are computed by integer
// arithmetic on days, seconds and microseconds (never float timestamps).
// Needs the interpreter lock.
#pragma once

#include <optional>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "src/record/datetime.h"

namespace zv::py {

// The UTC instant of a `datetime` whose tzinfo is UTC or a fixed-offset zone
// (its utcoffset(None) is a timedelta); none for anything else: not a
// datetime, naive, or a zone without a fixed offset. Errors raised while
// looking are discarded (the value is simply not such a datetime); only a
// failure to load the datetime module is reported.
PyResult<std::optional<DateTime>> aware_datetime_from_py(PyObject* obj);

// True for an object of exactly `datetime.datetime` whose tzinfo is exactly
// `datetime.timezone`: its repr then states its instant in full.
bool is_plain_datetime(PyObject* obj);

// A `datetime` with tzinfo `datetime.timezone.utc`, microsecond precision;
// the interpreter's OverflowError for an instant outside years 1..9999.
PyResult<PyRef> date_time_to_py(const DateTime& dt);

}  // namespace zv::py
