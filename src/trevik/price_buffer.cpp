#include "price_buffer.hpp"

#include <bit>
#include <string>
#include <string_view>

namespace kovalt::trevik {

namespace {

constexpr const char* kExpectedName = "float64_t";
constexpr Py_ssize_t kExpectedSize = sizeof(double);

#ifdef PYPY_VERSION
// PyPy refuses a non-exporter with "'T' does not have the buffer interface"; the refusal reads as
// CPython's.
void restate_missing_buffer(PyObject* exporter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyObject_CheckBuffer(exporter)) return;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.100s'",
                 Py_TYPE(exporter)->tp_name);
}
#endif

bool get_buffer(PyObject* exporter, Py_buffer* view) {
    const bool ok = PyObject_GetBuffer(exporter, view, PyBUF_FORMAT | PyBUF_STRIDES) == 0;
#ifdef PYPY_VERSION
    if (!ok) restate_missing_buffer(exporter);
#endif
    return ok;
}

class BufferView {
  public:
    explicit BufferView(PyObject* exporter) : ok_(get_buffer(exporter, &view_)) {}
    ~BufferView() {
        if (ok_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool ok() const { return ok_; }
    const Py_buffer& operator*() const { return view_; }

  private:
    Py_buffer view_{};
    bool ok_;
};

// How an item format other than a double is named in the mismatch message.
std::string describe(std::string_view code) {
    if (code == "Zf") return "'complex float'";
    if (code == "Zd") return "'complex double'";
    if (code == "Zg") return "'complex long double'";
    if (code.starts_with("T{")) return "a struct";
    if (code.size() == 1) {
        switch (code[0]) {
            case '?':
                return "'bool'";
            case 'c':
                return "'char'";
            case 'b':
                return "'signed char'";
            case 'B':
                return "'unsigned char'";
            case 'h':
                return "'short'";
            case 'H':
                return "'unsigned short'";
            case 'i':
                return "'int'";
            case 'I':
                return "'unsigned int'";
            case 'l':
                return "'long'";
            case 'L':
                return "'unsigned long'";
            case 'q':
                return "'long long'";
            case 'Q':
                return "'unsigned long long'";
            case 'n':
                return "'ssize_t'";
            case 'N':
                return "'size_t'";
            case 'e':
                return "'half'";
            case 'f':
                return "'float'";
            case 'g':
                return "'long double'";
            case 'O':
                return "Python object";
            case 'P':
                return "a pointer";
        }
    }
    return "'" + std::string(code) + "'";
}

// A struct of exactly one field "T{<code>:<name>:}" has that field's item layout; anything else
// is returned unchanged.
std::string_view single_field(std::string_view format) {
    if (!format.starts_with("T{") || !format.ends_with("}")) return format;
    const std::string_view fields = format.substr(2, format.size() - 3);
    const auto code_end = fields.find(':');
    if (code_end == std::string_view::npos || fields.find('{') != std::string_view::npos) {
        return format;
    }
    const auto name_end = fields.find(':', code_end + 1);
    if (name_end == std::string_view::npos || name_end + 1 != fields.size()) return format;
    return fields.substr(0, code_end);
}

bool is_foreign_byte_order(char mark) {
    if constexpr (std::endian::native == std::endian::little) {
        return mark == '>' || mark == '!';
    } else {
        return mark == '<';
    }
}

// Checks the item format, field by field down a single-field struct. False with ValueError set.
bool check_format(std::string_view format) {
    if (!format.empty() &&
        std::string_view("@=<>!^").find(format.front()) != std::string_view::npos) {
        if (is_foreign_byte_order(format.front())) {
            PyErr_SetString(PyExc_ValueError,
                            std::endian::native == std::endian::little
                                ? "Big-endian buffer not supported on little-endian compiler"
                                : "Little-endian buffer not supported on big-endian compiler");
            return false;
        }
        format.remove_prefix(1);
    }
    const std::string_view field = single_field(format);
    if (field != format) return check_format(field);
    if (format == "d") return true;
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got %s", kExpectedName,
                 describe(format).c_str());
    return false;
}

const char* plural(Py_ssize_t count) {
    return count == 1 ? "" : "s";
}

}  // namespace

bool check_price_buffer(PyObject* matrix) {
    const BufferView view(matrix);
    if (!view.ok()) return false;
    if ((*view).ndim != 2) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 2,
                     (*view).ndim);
        return false;
    }
    if (!check_format((*view).format ? (*view).format : "B")) return false;
    const Py_ssize_t item_size = (*view).itemsize;
    if (item_size != kExpectedSize) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     item_size, plural(item_size), kExpectedName, kExpectedSize,
                     plural(kExpectedSize));
        return false;
    }
    return true;
}

}  // namespace kovalt::trevik
