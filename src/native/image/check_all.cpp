// All four image checks from one read of the source: the bytes go once to
// OpenCV (is_plain_gray) and once to Pillow, whose one opened and loaded
// image serves is_valid_image, has_multiple_transparency and
// has_colored_lines. Each outcome is what the method gives when called on
// its own: its result, or the exception it raises.
//
// The two decoders run side by side where that pays: OpenCV's decode and
// the plain-colour metrics on a side thread (pyobj/side_thread.hpp), Pillow's
// checks on the caller's thread, where Python warnings, signals and Pillow's
// own Python code belong. Both release the GIL while they decode. The
// outcomes are the same either way; only which work waits for which differs.
//
// Where the shared image fails (it cannot be opened or loaded, or a check on
// it raises), the checks that depend on it run again on their own from the
// source, so their errors come out exactly as the methods raise them (a
// file's errors name its path, for one). That costs a second decode, for
// damaged images only.
#include "image/check_all.hpp"

#include "image/check_parts.hpp"
#include "image/kernels/image_header.hpp"
#include "image/kernels/parallel.hpp"
#include "image/opencv_gate.hpp"
#include "image/source.hpp"
#include "pyobj/buffer.hpp"
#include "pyobj/call.hpp"
#include "pyobj/context.hpp"
#include "pyobj/errors.hpp"
#include "pyobj/names.hpp"
#include "pyobj/side_thread.hpp"

#include <array>
#include <atomic>
#include <cstring>

namespace image {
namespace {

using pyobj::id;

constexpr pyobj::Param kParams[] = {
    {"image_data", nullptr},
    {"gray_thresh", "float", pyobj::real(30.0)},
    {"edge_thresh", "float", pyobj::real(0.01)},
    {"threshold", "int", pyobj::integer(5)},
};

constexpr const char* kDoc =
    "check_all(image_data, gray_thresh=30.0, edge_thresh=0.01, threshold=5)\n\n"
    "(image_size, source_error, (is_valid_image, is_plain_gray, has_multiple_transparency,\n"
    "has_colored_lines)): each item of the inner tuple is what that ImageTool method\n"
    "returns for image_data, or the exception it raises. image_size is the number of\n"
    "bytes read, or None with source_error the error of reading or downloading them.";

enum Check { kValid, kPlain, kTransparency, kLines, kChecks };
using Outcomes = std::array<Ref, kChecks>;

// Takes the outcome of a check that just ran: its result, or the exception
// it raised when that is of the Exception family. False when the exception
// must leave the whole call (it stays set).
bool take(Ref result, Ref& outcome) noexcept {
    if (result) {
        outcome = std::move(result);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    outcome = pyobj::fetch_exception();
    return true;
}

// is_valid_image's outcome for the error now raised by its open or load.
bool take_invalid(PyObject* globals, PyObject* data, Ref& outcome) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return take(Ref(), outcome);
    Ref err = pyobj::fetch_exception();
    raise_invalid_image(globals, err.get(), data);
    return take(Ref(), outcome);
}

struct Sources {
    PyObject* globals;
    PyObject* own;   // what the stream-based checks open on their own
    PyObject* data;  // the bytes
    PyObject* threshold;
};

bool transparency_alone(const Sources& s, Ref& outcome) noexcept {
    return take(transparency_result(s.globals, s.own, s.threshold), outcome);
}

bool lines_alone(const Sources& s, Ref& outcome) noexcept {
    return take(colored_lines_result(s.globals, s.own, default_line_params()), outcome);
}

// A check on the shared image; when it raised (or could not run: `skipped`,
// no error set), the same check on its own.
bool shared_or_alone(Ref result, bool skipped, Ref& outcome, bool (*alone)(const Sources&, Ref&),
                     const Sources& s) noexcept {
    if (result) {
        outcome = std::move(result);
        return true;
    }
    if (!skipped) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    return alone(s, outcome);
}

// The three Pillow checks over one opened image.
bool pillow_checks(const Sources& s, Outcomes& out) noexcept {
    Ref image_module = pyobj::global(s.globals, id<"Image">());
    Ref open = pyobj::attr(image_module.get(), id<"open">());
    Ref bytes_io = open ? pyobj::global(s.globals, id<"BytesIO">()) : Ref();
    Ref stream = pyobj::call(bytes_io.get(), s.data);
    Ref img = pyobj::call(open.get(), stream.get());
    if (!img) {
        return take_invalid(s.globals, s.data, out[kValid]) && transparency_alone(s, out[kTransparency]) &&
               lines_alone(s, out[kLines]);
    }
    // What the transparency check reads before the pixels, read before them.
    TransparencyPlan plan;
    bool planned = plan_transparency(s.globals, img.get(), plan);
    if (!planned) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    }
    // is_valid_image: with Image.open(...) as img: img.load()
    pyobj::WithBlock block;
    Ref entered = block.enter(img.get());
    const bool loaded = entered && pyobj::call_method(entered.get(), id<"load">());
    if (!loaded) {
        if (entered && block.exit(true)) {
            out[kValid] = Ref::borrow(Py_True);  // the error was suppressed on leaving the block
        } else if (!take_invalid(s.globals, s.data, out[kValid])) {
            return false;
        }
        return transparency_alone(s, out[kTransparency]) && lines_alone(s, out[kLines]);
    }
    Ref transparency = planned ? finish_transparency(img.get(), plan, s.threshold) : Ref();
    if (!shared_or_alone(std::move(transparency), !planned, out[kTransparency], transparency_alone, s)) return false;
    Ref lines = colored_lines_of_image(s.globals, img.get(), default_line_params());
    if (!shared_or_alone(std::move(lines), false, out[kLines], lines_alone, s)) return false;
    if (!block.exit(false)) return take_invalid(s.globals, s.data, out[kValid]);
    out[kValid] = Ref::borrow(Py_True);
    return true;
}

Ref pack(PyObject* size, PyObject* source_error, Outcomes& out) noexcept {
    for (const Ref& r : out)
        if (!r) return {};
    return Ref::steal(Py_BuildValue("(OO(OOOO))", size, source_error, out[0].get(), out[1].get(), out[2].get(),
                                    out[3].get()));
}

// Reading the source failed with `err`. Each method would meet the same
// failure on its own: a path (or any other object) goes to the four methods
// again, which fail before decoding anything; a URL is not fetched again,
// its error stands for all four.
PyObject* unread_source(PyObject* globals, PyObject* source, Ref err, double gray_thresh, double edge_thresh,
                        PyObject* threshold) noexcept {
    Outcomes out;
    const int url = is_url(source);
    if (url < 0) return nullptr;
    if (url) {
        if (PyErr_GivenExceptionMatches(err.get(), PyExc_OSError)) {
            raise_invalid_image(globals, err.get(), source);
            if (!take(Ref(), out[kValid])) return nullptr;
        } else {
            out[kValid] = Ref::borrow(err.get());
        }
        out[kPlain] = plain_gray_failure(err.get());
        out[kTransparency] = Ref::borrow(err.get());
        out[kLines] = Ref::borrow(err.get());
        if (!out[kPlain]) return nullptr;
        return pack(Py_None, err.get(), out).release();
    }
    Ref extra_data = Ref::steal(PyDict_New());
    if (!extra_data) return nullptr;
    const Sources alone{globals, source, source, threshold};
    if (!take(validity_result(globals, source, extra_data.get()), out[kValid]) ||
        !take(plain_gray_result(globals, source, gray_thresh, edge_thresh, nullptr), out[kPlain]) ||
        !transparency_alone(alone, out[kTransparency]) || !lines_alone(alone, out[kLines]))
        return nullptr;
    return pack(Py_None, err.get(), out).release();
}

// is_plain_gray's outcome, computed on whichever thread runs it.
struct OpenCvSide {
    PyObject* globals;
    PyObject* data;
    double gray_thresh, edge_thresh;
    Ref outcome;      // the result, or its exception of the Exception family
    Ref escaped;      // an exception outside that family: it leaves the call
    bool done = false;
    PlainGrayPartner partner;  // what the caller's thread waits for, or helps with

    void run(PlainGrayPartner* with) noexcept {
        if (!take(plain_gray_result(globals, data, gray_thresh, edge_thresh, nullptr, with), outcome))
            escaped = pyobj::fetch_exception();
        done = true;
    }

    // On the side thread: nothing at all once the interpreter is exiting
    // (done stays false, and the caller runs it).
    static void run_beside(void* side) noexcept {
        OpenCvScope opencv;
        auto* self = static_cast<OpenCvSide*>(side);
        if (opencv.entered()) self->run(&self->partner);
    }

    // As the side thread ends, however it ends: the caller waits for
    // neither the decoder nor an offer any more.
    static void release_caller(void* side) noexcept {
        auto* self = static_cast<OpenCvSide*>(side);
        self->partner.decoding.set();
        self->partner.work.close();
    }
};

// When the side thread is used: -1 never, 1 always, 0 by the image's size.
std::atomic<int> side_thread_mode{0};

// Below this many pixels (as the header declares them) starting a thread
// and passing the GIL between two threads (some 0.1 to 0.3 ms a call, in
// wake-ups and thread switches) cost more than the overlap saves: measured
// on generated photos, icons, palette images and line drawings in every
// format the benchmark writes. Images of one byte per pixel decode several
// times faster, so they need more pixels.
constexpr std::uint64_t kSideThreadMinPixels = 24 * 1024;
constexpr std::uint64_t kSideThreadMinPixelsOneByte = 80 * 1024;

bool side_thread_pays(PyObject* data) noexcept {
    // Once the exit has begun (an exit function or a finaliser calling us),
    // a new thread may be ended while it waits for the GIL, before it runs.
    // A call made from a side thread stays on it (see SideThread).
    if (opencv_gate_closed() || pyobj::SideThread::on_side_thread()) return false;
    const int mode = side_thread_mode.load(std::memory_order_relaxed);
    if (mode != 0) return mode > 0;
    if (kernels::thread_limit() < 2) return false;
    pyobj::BufferView bytes;
    if (!bytes.acquire(data)) {
        PyErr_Clear();  // the checks meet this object's failure themselves
        return false;
    }
    const auto size = kernels::declared_size(bytes.bytes());
    if (!size) return false;
    return size->pixels() >=
           (kernels::one_byte_per_pixel(bytes.bytes()) ? kSideThreadMinPixelsOneByte : kSideThreadMinPixels);
}

PyObject* check_all(const pyobj::Call& call) {
    PyObject* globals = call.closure();
    PyObject* source = call[0];
    const double gray_thresh = call.real(1), edge_thresh = call.real(2);
    PyObject* threshold = call[3];

    Ref data = source_bytes(globals, source);
    if (!data) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        return unread_source(globals, source, pyobj::fetch_exception(), gray_thresh, edge_thresh, threshold);
    }
    Outcomes out;
    OpenCvSide opencv{globals, data.get(), gray_thresh, edge_thresh, {}, {}, false, {}};
    pyobj::SideThread side;  // destroyed (joined) before `opencv`
    const bool beside =
        side_thread_pays(data.get()) && side.start(OpenCvSide::run_beside, &opencv, OpenCvSide::release_caller);
    if (beside) {
        // Pillow's side starts once OpenCV's decoder runs: the side thread
        // needs the GIL until then, and would wait for it behind every
        // stretch of Pillow's Python code.
        pyobj::GilRelease unlocked;
        opencv.partner.decoding.wait();
    } else {
        opencv.run(nullptr);
        if (opencv.escaped) {
            pyobj::restore_exception(std::move(opencv.escaped));
            return nullptr;
        }
    }
    const int url = is_url(source);
    // A downloaded image is opened from its bytes, as the methods open the
    // downloaded stream; a path is opened by its name.
    const Sources sources{globals, url > 0 ? data.get() : source, data.get(), threshold};
    const bool pillow_done = url >= 0 && pillow_checks(sources, out);
    if (beside && pillow_done) {
        // Idle until the side thread is done: take on a share of its
        // measurements.
        pyobj::GilRelease unlocked;
        opencv.partner.work.help();
    }
    // Whatever happened here (KeyboardInterrupt included), the side thread
    // is waited for before leaving; its outcome is then dropped with the GIL.
    side.join();
    if (!pillow_done) return nullptr;
    if (!opencv.done) opencv.run(nullptr);
    if (opencv.escaped) {
        pyobj::restore_exception(std::move(opencv.escaped));
        return nullptr;
    }
    out[kPlain] = std::move(opencv.outcome);
    const Py_ssize_t length = PyObject_Length(data.get());
    Ref size = length < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(length));
    if (!size) {
        // An object without a length: is_valid_image raised for it already.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        size = Ref::borrow(Py_None);
    }
    return pack(size.get(), Py_None, out).release();
}

// tessel._checks._side_thread(mode): how check_all uses its side thread from
// now on, for tests and benchmarks: "auto" (by the image's size, the
// default), "always" (any image, even one whose size cannot be read) or
// "never". Returns the previous mode.
PyObject* set_side_thread(PyObject*, PyObject* arg) noexcept {
    static constexpr const char* kModes[] = {"never", "auto", "always"};
    const char* text = PyUnicode_Check(arg) ? PyUnicode_AsUTF8(arg) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "mode must be a str");
        return nullptr;
    }
    for (int mode = -1; mode <= 1; ++mode) {
        if (std::strcmp(text, kModes[mode + 1]) != 0) continue;
        return PyUnicode_FromString(kModes[side_thread_mode.exchange(mode) + 1]);
    }
    PyErr_Format(PyExc_ValueError, "mode must be 'auto', 'always' or 'never', not %R", arg);
    return nullptr;
}

PyMethodDef side_thread_def = {"_side_thread", set_side_thread, METH_O, nullptr};

}  // namespace

const pyobj::FunctionDef check_all_def{
    {"check_all", "check_all", kDoc, kParams, nullptr, nullptr, nullptr},
    check_all,
};

PyMethodDef* const side_thread_switch = &side_thread_def;

}  // namespace image
