// tessel._gray_kernels: the plain-colour pixel kernels (and the palette-index
// count) exposed one by one so tests can hold each against the library
// computation it replaces. Not part of the public surface.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "image/kernels/byte_count.hpp"
#include "image/kernels/canny.hpp"
#include "image/kernels/clahe.hpp"
#include "image/kernels/gray_stats.hpp"
#include "image/kernels/image_header.hpp"
#include "image/kernels/line_colors.hpp"
#include "image/kernels/parallel.hpp"
#include "image/kernels/simd.hpp"
#include "image/kernels/spectrum.hpp"
#include "image/round_float.hpp"

#include <array>
#include <new>
#include <string_view>

namespace {

namespace k = image::kernels;

// A C-contiguous uint8 array of the given dimensions (2: h x w, 3: h x w x 3).
struct View {
    Py_buffer b{};
    bool held = false;
    ~View() {
        if (held) PyBuffer_Release(&b);
    }
    bool get(PyObject* obj, int ndim) {
        if (PyObject_GetBuffer(obj, &b, PyBUF_ND) < 0) return false;
        held = true;
        if (b.itemsize != 1 || (ndim > 0 && b.ndim != ndim) || (ndim == 3 && b.shape[2] != 3)) {
            PyErr_SetString(PyExc_ValueError, "expected a contiguous uint8 array of the right shape");
            return false;
        }
        return true;
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(b.buf); }
    std::size_t h() const { return static_cast<std::size_t>(b.shape[0]); }
    std::size_t w() const { return static_cast<std::size_t>(b.shape[1]); }
};

PyObject* moments_tuple(const k::Moments& m) {
    return Py_BuildValue("(LLK)", static_cast<long long>(m.sum), static_cast<long long>(m.sum_sq),
                         static_cast<unsigned long long>(m.count));
}

PyObject* grey_std(PyObject*, PyObject* arg) {
    View v;
    if (!v.get(arg, 2)) return nullptr;
    return PyFloat_FromDouble(k::grey_moments(v.data(), v.h(), v.w()).std_dev());
}

// grey_moments(grey, vectorised=True) -> (sum, sum of squares, count)
PyObject* grey_moments(PyObject*, PyObject* args) {
    PyObject* array = nullptr;
    int vectorised = 1;
    if (!PyArg_ParseTuple(args, "O|p", &array, &vectorised)) return nullptr;
    View v;
    if (!v.get(array, 2)) return nullptr;
    return moments_tuple(k::grey_moments(v.data(), v.h(), v.w(), vectorised != 0));
}

// laplacian_moments(grey, vectorised=True) -> (sum, sum of squares, count)
PyObject* laplacian_moments(PyObject*, PyObject* args) {
    PyObject* array = nullptr;
    int vectorised = 1;
    if (!PyArg_ParseTuple(args, "O|p", &array, &vectorised)) return nullptr;
    View v;
    if (!v.get(array, 2)) return nullptr;
    return moments_tuple(k::laplacian_moments(v.data(), v.h(), v.w(), vectorised != 0));
}

PyObject* laplacian_std(PyObject*, PyObject* arg) {
    View v;
    if (!v.get(arg, 2)) return nullptr;
    return PyFloat_FromDouble(k::laplacian_moments(v.data(), v.h(), v.w()).std_dev());
}

PyObject* saturation_sum(PyObject*, PyObject* arg) {
    View v;
    if (!v.get(arg, 3)) return nullptr;
    return PyLong_FromUnsignedLongLong(k::saturation_sum(v.data(), v.h() * v.w()));
}

PyObject* count_nonzero(PyObject*, PyObject* arg) {
    View v;
    if (!v.get(arg, 0)) return nullptr;
    return PyLong_FromUnsignedLongLong(k::count_nonzero(v.data(), static_cast<std::size_t>(v.b.len)));
}

// slices_with_failure(rows, failing_part) -> list of the slices run, as
// (part, first, end); raises MemoryError when the slice `failing_part`
// throws std::bad_alloc (after every slice has run), as a kernel's
// allocation failure in a helper thread would.
PyObject* slices_with_failure(PyObject*, PyObject* args) {
    Py_ssize_t rows, failing;
    if (!PyArg_ParseTuple(args, "nn", &rows, &failing)) return nullptr;
    std::array<std::array<std::size_t, 3>, k::kMaxSlices> seen{};
    std::size_t parts = 0;
    try {
        parts = k::for_row_slices(static_cast<std::size_t>(rows), 1, [&](std::size_t part, std::size_t y0, std::size_t y1) {
            seen[part] = {part, y0, y1};
            if (static_cast<Py_ssize_t>(part) == failing) throw std::bad_alloc();
        });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* out = PyList_New(0);
    for (std::size_t p = 0; out != nullptr && p < parts; ++p) {
        PyObject* item = Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(seen[p][0]), static_cast<Py_ssize_t>(seen[p][1]),
                                       static_cast<Py_ssize_t>(seen[p][2]));
        if (item == nullptr || PyList_Append(out, item) < 0) {
            Py_XDECREF(item);
            Py_CLEAR(out);
            break;
        }
        Py_DECREF(item);
    }
    return out;
}

// high_freq_ratio(grey, method) with method "auto", "direct", "fft" or "vector".
PyObject* high_freq_ratio(PyObject*, PyObject* args) {
    PyObject* arr;
    const char* method = "auto";
    if (!PyArg_ParseTuple(args, "O|s", &arr, &method)) return nullptr;
    View v;
    if (!v.get(arr, 2)) return nullptr;
    const std::string_view m(method);
    const k::SpectrumMethod how = m == "direct" ? k::SpectrumMethod::Direct
                                  : m == "fft"  ? k::SpectrumMethod::Fft
                                  : m == "vector" ? k::SpectrumMethod::Vector
                                                : k::SpectrumMethod::Automatic;
    try {
        const k::Moments mo = k::grey_moments(v.data(), v.h(), v.w());
        return PyFloat_FromDouble(k::high_frequency_share(v.data(), v.h(), v.w(), mo, how));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* declared_size(PyObject*, PyObject* arg) {
    Py_buffer b;
    if (PyObject_GetBuffer(arg, &b, PyBUF_SIMPLE) < 0) return nullptr;
    const auto size = k::declared_size({static_cast<const std::uint8_t*>(b.buf), static_cast<std::size_t>(b.len)});
    PyBuffer_Release(&b);
    if (!size) Py_RETURN_NONE;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(size->width), static_cast<unsigned long long>(size->height));
}

// Calls fill(out) on a new bytes object of n bytes.
template <class Fill>
PyObject* new_bytes(std::size_t n, Fill&& fill) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (out == nullptr) return nullptr;
    try {
        fill(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)));
    } catch (const std::bad_alloc&) {
        Py_DECREF(out);
        return PyErr_NoMemory();
    }
    return out;
}

// canny_edges(grey, low, high, vectorised=True) -> (edge count, edge map bytes of 0/255)
PyObject* canny_edges(PyObject*, PyObject* args) {
    PyObject* arr;
    int low, high, vectorised = 1;
    if (!PyArg_ParseTuple(args, "Oii|p", &arr, &low, &high, &vectorised)) return nullptr;
    View v;
    if (!v.get(arr, 2)) return nullptr;
    std::uint64_t count = 0;
    PyObject* map = new_bytes(v.h() * v.w(), [&](std::uint8_t* out) {
        count = k::canny_edges(v.data(), v.h(), v.w(), low, high, out, vectorised != 0);
    });
    if (map == nullptr) return nullptr;
    return Py_BuildValue("(KN)", static_cast<unsigned long long>(count), map);
}

// canny_edge_count(grey, low, high, vectorised=True) -> int
PyObject* canny_edge_count(PyObject*, PyObject* args) {
    PyObject* arr;
    int low, high, vectorised = 1;
    if (!PyArg_ParseTuple(args, "Oii|p", &arr, &low, &high, &vectorised)) return nullptr;
    View v;
    if (!v.get(arr, 2)) return nullptr;
    try {
        return PyLong_FromUnsignedLongLong(k::canny_edge_count(v.data(), v.h(), v.w(), low, high, vectorised != 0));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// clahe(grey, clip_limit, tiles_x, tiles_y) -> equalised bytes
PyObject* clahe(PyObject*, PyObject* args) {
    PyObject* arr;
    double clip;
    int tx, ty, vectorised = 1;
    if (!PyArg_ParseTuple(args, "Odii|p", &arr, &clip, &tx, &ty, &vectorised)) return nullptr;
    if (tx < 1 || ty < 1) {
        PyErr_SetString(PyExc_ValueError, "tile counts must be positive");
        return nullptr;
    }
    View v;
    if (!v.get(arr, 2)) return nullptr;
    return new_bytes(v.h() * v.w(), [&](std::uint8_t* out) { k::clahe(v.data(), v.h(), v.w(), clip, tx, ty, out, vectorised != 0); });
}

// grey_and_saturation(bgr, vectorised=True) -> (grey bytes, grey sum, grey sum of squares, saturation sum)
PyObject* grey_and_saturation(PyObject*, PyObject* args) {
    PyObject* array = nullptr;
    int vectorised = 1;
    if (!PyArg_ParseTuple(args, "O|p", &array, &vectorised)) return nullptr;
    View v;
    if (!v.get(array, 3)) return nullptr;
    k::ColourStats stats;
    PyObject* grey = new_bytes(v.h() * v.w(), [&](std::uint8_t* out) {
        stats = k::grey_and_saturation(v.data(), v.h() * v.w(), out, vectorised != 0);
    });
    if (grey == nullptr) return nullptr;
    return Py_BuildValue("(NLLK)", grey, static_cast<long long>(stats.grey.sum), static_cast<long long>(stats.grey.sum_sq),
                         static_cast<unsigned long long>(stats.saturation_sum));
}

// count_equal_bytes(buffer, value, variant) with variant "best", "plain",
// "sse2" or "avx2": the palette-index count over any contiguous bytes.
PyObject* count_equal_bytes(PyObject*, PyObject* args) {
    Py_buffer b;
    int value;
    const char* variant;
    if (!PyArg_ParseTuple(args, "y*is", &b, &value, &variant)) return nullptr;
    const std::string_view v(variant);
    const k::ByteKernel kernel = v == "plain"  ? k::ByteKernel::Plain
                                 : v == "sse2" ? k::ByteKernel::Sse2
                                 : v == "avx2" ? k::ByteKernel::Avx2
                                               : k::ByteKernel::Best;
    const std::size_t n = k::count_equal_bytes(static_cast<const std::uint8_t*>(b.buf), static_cast<std::size_t>(b.len),
                                               static_cast<std::uint8_t>(value), kernel);
    PyBuffer_Release(&b);
    return PyLong_FromSize_t(n);
}

// line_color_counts(rgbx, dark_max, gap, variant) -> (non-background, green,
// red) over 4-byte pixels, variant "best", "baseline", "avx2" or "v4".
PyObject* line_color_counts(PyObject*, PyObject* args) {
    Py_buffer b;
    int dark_max, gap;
    const char* variant;
    if (!PyArg_ParseTuple(args, "y*iis", &b, &dark_max, &gap, &variant)) return nullptr;
    const std::string_view v(variant);
    const k::LineColorKernel kernel = v == "baseline" ? k::LineColorKernel::Baseline
                                      : v == "avx2"   ? k::LineColorKernel::Avx2
                                      : v == "v4"     ? k::LineColorKernel::X86_64_V4
                                                      : k::LineColorKernel::Best;
    k::LineColorCounts counts;
    k::count_line_colors({static_cast<const std::uint8_t*>(b.buf), static_cast<std::size_t>(b.len)},
                         {k::clamp_dark_max(dark_max), k::clamp_gap(gap)}, counts, kernel);
    PyBuffer_Release(&b);
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(counts.non_background),
                         static_cast<unsigned long long>(counts.green), static_cast<unsigned long long>(counts.red));
}

// cpu_features() -> {"avx2": bool, "avx2_fma": bool, "x86_64_v4": bool}:
// what the kernels' run-time dispatch found, or None in a build without
// vector kernels.
PyObject* cpu_features(PyObject*, PyObject*) {
    if (!TESSEL_HAVE_AVX2_KERNELS) Py_RETURN_NONE;
    return Py_BuildValue("{sOsOsO}", "avx2", k::cpu_has_avx2() ? Py_True : Py_False, "avx2_fma",
                         k::cpu_has_avx2_fma() ? Py_True : Py_False, "x86_64_v4",
                         k::cpu_has_x86_64_v4() ? Py_True : Py_False);
}

// round_float(x, digits): the plain-colour metrics' rounding.
PyObject* round_float(PyObject*, PyObject* args) {
    double x;
    int digits;
    if (!PyArg_ParseTuple(args, "di", &x, &digits)) return nullptr;
    return image::round_float(x, digits).release();
}

PyMethodDef methods[] = {
    {"round_float", round_float, METH_VARARGS, nullptr},
    {"line_color_counts", line_color_counts, METH_VARARGS, nullptr},
    {"cpu_features", cpu_features, METH_NOARGS, nullptr},
    {"slices_with_failure", slices_with_failure, METH_VARARGS, nullptr},
    {"grey_and_saturation", grey_and_saturation, METH_VARARGS, nullptr},
    {"canny_edges", canny_edges, METH_VARARGS, nullptr},
    {"canny_edge_count", canny_edge_count, METH_VARARGS, nullptr},
    {"clahe", clahe, METH_VARARGS, nullptr},
    {"grey_std", grey_std, METH_O, nullptr},
    {"grey_moments", grey_moments, METH_VARARGS, nullptr},
    {"laplacian_moments", laplacian_moments, METH_VARARGS, nullptr},
    {"laplacian_std", laplacian_std, METH_O, nullptr},
    {"saturation_sum", saturation_sum, METH_O, nullptr},
    {"count_nonzero", count_nonzero, METH_O, nullptr},
    {"count_equal_bytes", count_equal_bytes, METH_VARARGS, nullptr},
    {"high_freq_ratio", high_freq_ratio, METH_VARARGS, nullptr},
    {"declared_size", declared_size, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_gray_kernels", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__gray_kernels(void) { return PyModuleDef_Init(&module_def); }
