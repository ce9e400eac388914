// Parameter tables and argument binding.
//
// A function is described by a table of positional-or-keyword parameters
// (name, annotation text, default) and an optional **kwargs. The annotation
// text decides how a bound value is handled on entry:
//   "int"    exact int kept; other numbers go through int(); else TypeError
//   "float"  converted to a C double as the float slot does
//   "bool"   its truth value
//   "str", "dict", "Optional[List[str]]"   the exact built-in type only
// anything else (or no annotation) is passed through untouched. None passes
// any rule when the parameter's default is None.
#pragma once

#include "pyobj/ref.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace pyobj {

inline constexpr std::size_t kMaxParams = 8;

struct Default {
    enum class Kind { Required, None, Int, Float, Str, Bool, ModuleGlobal };
    Kind kind = Kind::Required;
    long long int_value = 0;
    double float_value = 0.0;
    const char* text = nullptr;  // Str: the value; ModuleGlobal: the global's name
};

constexpr Default required() { return {}; }
constexpr Default none() { return {Default::Kind::None}; }
constexpr Default integer(long long v) { return {Default::Kind::Int, v}; }
constexpr Default real(double v) { return {Default::Kind::Float, 0, v}; }
constexpr Default text(const char* v) { return {Default::Kind::Str, 0, 0.0, v}; }
constexpr Default boolean(bool v) { return {Default::Kind::Bool, v ? 1 : 0}; }
// The value a module global has when the function object is made.
constexpr Default module_global(const char* name) {
    return {Default::Kind::ModuleGlobal, 0, 0.0, name};
}

struct Param {
    const char* name;
    const char* annotation;  // nullptr: not annotated
    Default dflt = required();
};

struct Signature {
    const char* name;
    const char* qualname;
    const char* doc;
    std::span<const Param> params;
    const char* kwargs_name = nullptr;        // nullptr: no **kwargs
    const char* kwargs_annotation = nullptr;  // annotation of **kwargs, if any
    const char* return_annotation = nullptr;

    std::size_t required_count() const noexcept;
    bool returns_bytes() const noexcept;
};

enum class Rule { None, Int, Float, Bool, ExactStr, ExactDict, ExactList };
Rule rule_for(const char* annotation) noexcept;

// The converted arguments of one call, as a method body sees them.
class BoundArgs {
public:
    // The bound (and converted) object of parameter i; borrowed.
    PyObject* operator[](std::size_t i) const noexcept { return values_[i].get(); }
    // The C double of a "float" parameter.
    double real(std::size_t i) const noexcept { return reals_[i]; }
    // The new **kwargs dict of this call (nullptr for functions without one).
    PyObject* kwargs() const noexcept { return kwargs_.get(); }

private:
    friend class Binder;
    std::array<Ref, kMaxParams> values_;
    std::array<double, kMaxParams> reals_{};
    Ref kwargs_;
};

// Binds a vectorcall-style argument list against a signature, filling
// missing parameters from `defaults` (the function's __defaults__), then
// applies the entry rules. Returns false with a Python error set.
class Binder {
public:
    Binder(const Signature& sig, PyObject* defaults) noexcept : sig_(sig), defaults_(defaults) {}
    bool bind(PyObject* const* args, std::size_t nargs, PyObject* kwnames, BoundArgs& out) const noexcept;
    // The same from a tuple and a dict (tp_call): dict keys need not be strings.
    bool bind_dict(PyObject* args, PyObject* kwargs, BoundArgs& out) const noexcept;

private:
    bool fill_defaults(BoundArgs& out) const noexcept;
    bool apply_rules(BoundArgs& out) const noexcept;
    bool positional_count_error(std::size_t given) const noexcept;
    bool keyword(PyObject* key, PyObject* value, std::size_t nargs, BoundArgs& out) const noexcept;

    const Signature& sig_;
    PyObject* defaults_;
};

// The entry rules on their own, for code that checks values outside binding.
// Each returns a new reference (the value to use) or nullptr with an error set.
Ref apply_int_rule(const char* param, PyObject* value, bool none_ok) noexcept;
bool check_exact_type(const char* param, PyObject* value, PyTypeObject* type, bool none_ok) noexcept;

// "Expected %.42s, got %.200s" for a result that is not exactly `type` or None.
bool check_exact_result(PyObject* result, PyTypeObject* type) noexcept;

// Adds a note to the exception currently set (BaseException.add_note).
void add_note_to_current(const char* note) noexcept;

}  // namespace pyobj
