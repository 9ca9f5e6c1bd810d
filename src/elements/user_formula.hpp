#pragma once
// Impedance formulas written by the user, compiled once into a flat program
// over complex values and evaluated a block of frequencies at a time.
//
// The grammar (no names are looked up outside it, nothing is executed):
//   sum     := product (('+' | '-') product)*
//   product := unary (('*' | '/') unary)*
//   unary   := ('-' | '+') unary | power
//   power   := primary (('^' | '**') unary)?        right-associative
//   primary := number | name | name '(' sum ')' | '(' sum ')'
// Names are the element's fields, s (the Laplace variable jω), j (the
// imaginary unit) and pi; the functions are exp, log, sqrt, tanh, coth,
// sinh and cosh. As in common mathematical notation -s^a is -(s^a).
//
// Every step of the program is marked at compile time as uniform (its value
// does not depend on the frequency: computed once per evaluation) or varying
// (one value per frequency). A power of s with a uniform real exponent is
// evaluated on the positive imaginary axis as ω^p·(cos pπ/2, sin pπ/2).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "elements/complex.hpp"

namespace velotz::user {

// A formula or definition that cannot be accepted; column is the 0-based
// character position in the formula it refers to (or npos when the error is
// not about a position in the formula).
class FormulaError : public std::invalid_argument {
public:
    FormulaError(std::string message, std::size_t column)
        : std::invalid_argument(std::move(message)), column_(column) {}
    std::size_t column() const { return column_; }

private:
    std::size_t column_;
};

// The formula, and under it a caret at `column`, as an error message shows
// the place of an error.
std::string caret_lines(std::string_view formula, std::size_t column);

class Formula {
public:
    // Compiles `text` with the given field names (identifiers, at most
    // kMaxFields, none of them a reserved name). Throws FormulaError.
    static Formula compile(std::string_view text, const std::vector<std::string>& fields);

    static constexpr std::size_t kMaxFields = 16;

    std::size_t field_count() const { return field_count_; }
    const std::string& text() const { return text_; }
    // Whether the formula reads s at all (a formula without s is a constant
    // impedance).
    bool reads_s() const { return reads_s_; }

    // Arrays an evaluation keeps; one per thread.
    class Workspace {
        friend class Formula;
        std::vector<Cx> varying;
        std::vector<Cx> uniform;
        std::vector<Cx> dual;
        std::vector<double> real;
        std::vector<double> ln;
    };

    // Impedances at angular frequencies omega[0 .. count) with the fields
    // `fields` (field_count() values), into out[0 .. count).
    void evaluate(const double* fields, const double* omega, std::size_t count, Cx* out, Workspace& ws) const;
    // As evaluate, with ln ω given as the double-double ln_hi + ln_lo (the
    // spectrum grid's kernels::log_dd values) instead of computed here for
    // the powers of s; the same bits.
    void evaluate(const double* fields, const double* omega, const double* ln_hi, const double* ln_lo,
                  std::size_t count, Cx* out, Workspace& ws) const;
    // As evaluate, and the derivatives with respect to every field:
    // d_out[f·count + i] is ∂Z/∂field_f at omega[i] (forward mode, exact
    // for the formula's operations).
    void evaluate_with_derivatives(const double* fields, const double* omega, std::size_t count, Cx* out,
                                   Cx* d_out, Workspace& ws) const;
    // One impedance (for tests and single values).
    Cx value_at(const double* fields, double omega) const;

    enum class Op : std::uint8_t {
        Const, Field, S, Add, Sub, Mul, Div, Neg, PowInt, PowReal, PowS, Pow, Exp, Log, Sqrt, Tanh, Coth, Sinh, Cosh
    };
    struct Instr {
        Op op;
        bool varying;
        std::uint32_t a = 0;  // operand registers (instruction indices)
        std::uint32_t b = 0;
        int n = 0;            // PowInt: the exponent; Field: the field index
        Cx c{};               // Const: the value
    };

private:
    std::string text_;
    std::size_t field_count_ = 0;
    bool reads_s_ = false;
    std::vector<Instr> code_;              // result: the last instruction
    std::vector<std::uint32_t> slot_;      // per instruction: its slot among the varying or uniform values
    std::size_t varying_count_ = 0;
    std::size_t uniform_count_ = 0;
};

// An element kind defined by the user.
struct UserKind {
    std::string code;
    std::vector<std::string> fields;
    std::vector<std::string> units;
    std::vector<double> defaults;
    std::vector<double> lower;
    std::vector<double> upper;
    std::shared_ptr<const Formula> formula;
};

// Checks a definition (code, field names, units, defaults, bounds and the
// formula) and compiles it. Throws FormulaError; errors about the formula
// carry its column.
UserKind make_user_kind(std::string code, std::vector<std::string> fields, std::string_view formula,
                        std::vector<std::string> units, std::vector<double> defaults, std::vector<double> lower,
                        std::vector<double> upper);

// The process-wide list of user kinds. Definitions are serialised by a
// mutex; a definition is never changed or removed once made, so readers
// hold shared pointers to immutable entries.
class Registry {
public:
    static Registry& instance();
    // Adds `kind` and returns its index. A code defined before is accepted
    // again only with the same fields, units, defaults, bounds and formula
    // text (and then returns the existing index); otherwise FormulaError.
    std::size_t define(UserKind kind);
    // The index of a code, or npos.
    std::size_t find(std::string_view code) const;
    std::shared_ptr<const UserKind> get(std::size_t index) const;
    std::size_t size() const;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const UserKind>> kinds_;
};

}  // namespace velotz::user
