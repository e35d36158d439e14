// What the native fast paths over a pandas table's numeric block share: which dtypes they read,
// the C++ type of each, and the route switch that benchmarks and tests use.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "report.hpp"

namespace kovalt::report {

// A native-endian float32/64, signed or unsigned integer of 1 to 8 bytes, or (when asked) bool.
inline bool is_numeric_cell_dtype(const py::dtype& dtype, bool accept_bool) {
    if (!dtype.attr("isnative").cast<bool>()) return false;
    const auto size = dtype.itemsize();
    switch (dtype.kind()) {
        case 'f':
            return size == 4 || size == 8;
        case 'i':
        case 'u':
            return size == 1 || size == 2 || size == 4 || size == 8;
        case 'b':
            return accept_bool && size == 1;
        default:
            return false;
    }
}

// Calls `visit.template operator()<Cell>()` with Cell the C++ type of `dtype`, one that
// is_numeric_cell_dtype accepted.
template <class Visit>
decltype(auto) visit_numeric_cell(const py::dtype& dtype, Visit&& visit) {
    const auto size = dtype.itemsize();
    switch (dtype.kind()) {
        case 'f':
            if (size == 4) return visit.template operator()<float>();
            return visit.template operator()<double>();
        case 'b':
            return visit.template operator()<bool>();
        case 'i':
            if (size == 1) return visit.template operator()<std::int8_t>();
            if (size == 2) return visit.template operator()<std::int16_t>();
            if (size == 4) return visit.template operator()<std::int32_t>();
            return visit.template operator()<std::int64_t>();
        default:
            if (size == 1) return visit.template operator()<std::uint8_t>();
            if (size == 2) return visit.template operator()<std::uint16_t>();
            if (size == 4) return visit.template operator()<std::uint32_t>();
            return visit.template operator()<std::uint64_t>();
    }
}

// A method with a native fast path takes pandas' route when `variable` is "literal" and demands
// the native one (RuntimeError where it cannot serve) when it is "fast"; otherwise it chooses.
enum class Route { automatic, literal, fast };

inline Route requested_route(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value) return Route::automatic;
    const std::string_view route(value);
    if (route == "literal") return Route::literal;
    if (route == "fast") return Route::fast;
    return Route::automatic;
}

}  // namespace kovalt::report
