#include "elements/user_formula.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "circuit/kernels.hpp"
#include "elements/element.hpp"

namespace velotz::user {
namespace {

using Op = Formula::Op;
using Instr = Formula::Instr;

constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(char c) { return is_alpha(c) || is_digit(c) || c == '_'; }

bool is_identifier(std::string_view name) {
    if (name.empty() || !(is_alpha(name[0]) || name[0] == '_')) return false;
    return std::all_of(name.begin(), name.end(), is_ident_char);
}

struct Function {
    const char* name;
    Op op;
};
constexpr Function kFunctions[] = {{"exp", Op::Exp},   {"log", Op::Log},   {"sqrt", Op::Sqrt}, {"tanh", Op::Tanh},
                                   {"coth", Op::Coth}, {"sinh", Op::Sinh}, {"cosh", Op::Cosh}};
constexpr const char* kConstants[] = {"s", "j", "pi"};

bool is_reserved(std::string_view name) {
    for (const auto& f : kFunctions)
        if (name == f.name) return true;
    for (const char* c : kConstants)
        if (name == c) return true;
    return false;
}

// Character (code point) position of byte offset `byte` in UTF-8 text.
std::size_t char_column(std::string_view text, std::size_t byte) {
    std::size_t column = 0;
    for (std::size_t i = 0; i < byte && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
    return column;
}

Cx cexp(Cx z) {
    const double m = std::exp(z.re);
    if (z.im == 0.0) return {m, z.im};
    double s, c;
    ::sincos(z.im, &s, &c);
    return {m * c, m * s};
}
Cx clog(Cx z) { return {std::log(std::hypot(z.re, z.im)), std::atan2(z.im, z.re)}; }
Cx csinh(Cx z) {
    double s, c;
    ::sincos(z.im, &s, &c);
    return {std::sinh(z.re) * c, std::cosh(z.re) * s};
}
Cx ccosh(Cx z) {
    double s, c;
    ::sincos(z.im, &s, &c);
    return {std::cosh(z.re) * c, std::sinh(z.re) * s};
}
Cx ccoth(Cx z) { return recip(tanh_sat(z)); }

// a^n for an integer n by repeated squaring; a^0 = 1, a^-n = 1/a^n.
Cx ipow(Cx a, int n) {
    if (n == 0) return {1.0, 0.0};
    unsigned m = static_cast<unsigned>(n < 0 ? -n : n);
    Cx result{1.0, 0.0};
    bool first = true;
    Cx base = a;
    while (m != 0) {
        if (m & 1u) {
            result = first ? base : result * base;
            first = false;
        }
        m >>= 1;
        if (m != 0) base = base * base;
    }
    return n < 0 ? recip(result) : result;
}

// a^b for complex a and b: cpow when b is real, exp(b·log a) otherwise.
Cx gpow(Cx a, Cx b) {
    if (b.im == 0.0) return cpow(a, b.re);
    if (a.re == 0.0 && a.im == 0.0) return {0.0, 0.0};
    return cexp(b * clog(a));
}

Cx unary(Op op, Cx a) {
    switch (op) {
        case Op::Neg: return {-a.re, -a.im};
        case Op::Exp: return cexp(a);
        case Op::Log: return clog(a);
        case Op::Sqrt: return csqrt(a);
        case Op::Tanh: return tanh_sat(a);
        case Op::Coth: return ccoth(a);
        case Op::Sinh: return csinh(a);
        case Op::Cosh: return ccosh(a);
        default: return a;
    }
}

// The value of one instruction from its operands' values (a, b) at ω.
Cx apply(const Instr& in, Cx a, Cx b, const double* fields, double omega) {
    switch (in.op) {
        case Op::Const: return in.c;
        case Op::Field: return {fields[in.n], 0.0};
        case Op::S: return {0.0 * omega, omega};
        case Op::Add: return a + b;
        case Op::Sub: return a - b;
        case Op::Mul:
            if (a.im == 0.0 && in.n == 1) return a.re * b;
            if (b.im == 0.0 && in.n == 2) return b.re * a;
            return a * b;
        case Op::Div: return cdiv(a, b);
        case Op::PowInt: return ipow(a, in.n);
        case Op::PowReal: case Op::PowS: case Op::Pow: return gpow(a, b);
        default: return unary(in.op, a);
    }
}

class Parser {
public:
    Parser(std::string_view text, const std::vector<std::string>& fields, std::vector<Instr>& code)
        : text_(text), fields_(fields), code_(code) {}

    void parse() {
        sum();
        skip_space();
        if (pos_ < text_.size()) {
            if (text_[pos_] == ')') fail("unmatched ')'", pos_);
            fail("unexpected " + describe(pos_), pos_);
        }
    }

private:
    [[noreturn]] void fail(const std::string& what, std::size_t byte) const {
        const std::size_t column = char_column(text_, byte);
        throw FormulaError(what + " at position " + std::to_string(column), column);
    }

    std::string describe(std::size_t at) const {
        if (at >= text_.size()) return "end of formula";
        const unsigned char c = static_cast<unsigned char>(text_[at]);
        if (c >= 0x80 || c < 0x20) return "character";
        return std::string("'") + text_[at] + "'";
    }

    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    }

    std::uint32_t emit(Instr in) {
        code_.push_back(in);
        return static_cast<std::uint32_t>(code_.size() - 1);
    }
    std::uint32_t binary(Op op, std::uint32_t a, std::uint32_t b) {
        Instr in{op, code_[a].varying || code_[b].varying, a, b};
        // Mul: which operand may be a real scalar (uniform), tested at run time.
        if (op == Op::Mul) in.n = !code_[a].varying ? 1 : (!code_[b].varying ? 2 : 0);
        return emit(in);
    }

    std::uint32_t sum() {
        std::uint32_t left = product();
        for (;;) {
            skip_space();
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
                const Op op = text_[pos_] == '+' ? Op::Add : Op::Sub;
                ++pos_;
                left = binary(op, left, product());
            } else {
                return left;
            }
        }
    }

    std::uint32_t product() {
        std::uint32_t left = unary_expr();
        for (;;) {
            skip_space();
            if (pos_ < text_.size() && text_[pos_] == '*' && !(pos_ + 1 < text_.size() && text_[pos_ + 1] == '*')) {
                ++pos_;
                left = binary(Op::Mul, left, unary_expr());
            } else if (pos_ < text_.size() && text_[pos_] == '/') {
                ++pos_;
                left = binary(Op::Div, left, unary_expr());
            } else {
                return left;
            }
        }
    }

    std::uint32_t unary_expr() {
        skip_space();
        if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+')) {
            const bool negate = text_[pos_] == '-';
            ++pos_;
            const std::uint32_t a = unary_expr();
            if (!negate) return a;
            if (code_[a].op == Op::Const) {
                // A negative literal stays a literal (so that s^-2 is an integer power).
                code_[a].c = {-code_[a].c.re, -code_[a].c.im};
                return a;
            }
            return emit(Instr{Op::Neg, code_[a].varying, a});
        }
        return power();
    }

    std::uint32_t power() {
        const std::uint32_t base = primary();
        skip_space();
        if (pos_ < text_.size() && (text_[pos_] == '^' || (text_[pos_] == '*' && pos_ + 1 < text_.size() &&
                                                             text_[pos_ + 1] == '*'))) {
            pos_ += text_[pos_] == '^' ? 1 : 2;
            const std::uint32_t exponent = unary_expr();
            const Instr& e = code_[exponent];
            if (e.op == Op::Const && e.c.im == 0.0 && e.c.re == std::trunc(e.c.re) && std::fabs(e.c.re) <= 64.0) {
                Instr in{Op::PowInt, code_[base].varying, base};
                in.n = static_cast<int>(e.c.re);
                return emit(in);
            }
            if (!e.varying && code_[base].op == Op::S) return emit(Instr{Op::PowS, true, base, exponent});
            if (!e.varying) return emit(Instr{Op::PowReal, code_[base].varying, base, exponent});
            return emit(Instr{Op::Pow, true, base, exponent});
        }
        return base;
    }

    std::uint32_t primary() {
        skip_space();
        if (pos_ >= text_.size()) fail("expected a number, a name or '(' but found end of formula", pos_);
        const char c = text_[pos_];
        if (c == '(') {
            const std::size_t open = pos_;
            ++pos_;
            const std::uint32_t inner = sum();
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != ')') {
                if (pos_ >= text_.size()) fail("'(' is not closed", open);
                fail("expected ')' but found " + describe(pos_), pos_);
            }
            ++pos_;
            return inner;
        }
        if (is_digit(c) || (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) return number();
        if (is_alpha(c) || c == '_') return name();
        fail("expected a number, a name or '(' but found " + describe(pos_), pos_);
    }

    std::uint32_t number() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && (is_digit(text_[pos_]) || text_[pos_] == '.')) ++pos_;
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            std::size_t q = pos_ + 1;
            if (q < text_.size() && (text_[q] == '+' || text_[q] == '-')) ++q;
            if (q < text_.size() && is_digit(text_[q])) {
                pos_ = q;
                while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
            }
        }
        double value = 0.0;
        const auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + pos_, value);
        if (ec != std::errc{} || end != text_.data() + pos_ || !std::isfinite(value))
            fail("invalid number '" + std::string(text_.substr(start, pos_ - start)) + "'", start);
        if (pos_ < text_.size() && (is_alpha(text_[pos_]) || text_[pos_] == '_'))
            fail("a number is followed by a name (write '*' between them)", pos_);
        Instr in{Op::Const, false};
        in.c = {value, 0.0};
        return emit(in);
    }

    std::uint32_t name() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && is_ident_char(text_[pos_])) ++pos_;
        const std::string_view id = text_.substr(start, pos_ - start);
        for (const auto& f : kFunctions) {
            if (id != f.name) continue;
            skip_space();
            if (pos_ >= text_.size() || text_[pos_] != '(') fail("function '" + std::string(id) + "' needs '('", pos_);
            const std::size_t open = pos_;
            ++pos_;
            const std::uint32_t arg = sum();
            skip_space();
            if (pos_ >= text_.size()) fail("'(' is not closed", open);
            if (text_[pos_] != ')') fail("expected ')' but found " + describe(pos_), pos_);
            ++pos_;
            return emit(Instr{f.op, code_[arg].varying, arg});
        }
        if (id == "s") return emit(Instr{Op::S, true});
        if (id == "j" || id == "pi") {
            Instr in{Op::Const, false};
            in.c = id == "j" ? Cx{0.0, 1.0} : Cx{3.14159265358979323846, 0.0};
            return emit(in);
        }
        for (std::size_t f = 0; f < fields_.size(); ++f) {
            if (id != fields_[f]) continue;
            Instr in{Op::Field, false};
            in.n = static_cast<int>(f);
            return emit(in);
        }
        fail("unknown name '" + std::string(id) + "'", start);
    }

    std::string_view text_;
    const std::vector<std::string>& fields_;
    std::vector<Instr>& code_;
    std::size_t pos_ = 0;
};

}  // namespace

std::string caret_lines(std::string_view formula, std::size_t column) {
    std::string out(formula);
    out += '\n';
    out.append(column, ' ');
    out += '^';
    return out;
}

Formula Formula::compile(std::string_view text, const std::vector<std::string>& fields) {
    if (fields.empty() || fields.size() > kMaxFields)
        throw FormulaError("an element needs 1 to " + std::to_string(kMaxFields) + " fields", kNoColumn);
    for (std::size_t f = 0; f < fields.size(); ++f) {
        if (!is_identifier(fields[f]))
            throw FormulaError("field name '" + fields[f] + "' is not an identifier", kNoColumn);
        if (is_reserved(fields[f]))
            throw FormulaError("field name '" + fields[f] + "' is reserved (s, j, pi and the functions)", kNoColumn);
        for (std::size_t g = 0; g < f; ++g)
            if (fields[g] == fields[f]) throw FormulaError("duplicate field name '" + fields[f] + "'", kNoColumn);
    }
    Formula formula;
    formula.text_ = std::string(text);
    formula.field_count_ = fields.size();
    Parser(formula.text_, fields, formula.code_).parse();
    formula.slot_.resize(formula.code_.size());
    for (std::size_t i = 0; i < formula.code_.size(); ++i) {
        const Instr& in = formula.code_[i];
        if (in.op == Op::S) formula.reads_s_ = true;
        formula.slot_[i] = static_cast<std::uint32_t>(in.varying ? formula.varying_count_++ : formula.uniform_count_++);
    }
    return formula;
}

void Formula::evaluate(const double* fields, const double* omega, std::size_t count, Cx* out, Workspace& ws) const {
    evaluate(fields, omega, nullptr, nullptr, count, out, ws);
}

void Formula::evaluate(const double* fields, const double* omega, const double* ln_hi, const double* ln_lo,
                       std::size_t count, Cx* out, Workspace& ws) const {
    ws.uniform.resize(uniform_count_);
    // The last instruction writes straight into `out`.
    const std::size_t last = code_.size() - 1;
    ws.varying.resize(varying_count_ * count);
    auto array = [&](std::size_t i) -> Cx* {
        return i == last ? out : ws.varying.data() + static_cast<std::size_t>(slot_[i]) * count;
    };
    for (std::size_t i = 0; i < code_.size(); ++i) {
        const Instr& in = code_[i];
        if (!in.varying) {
            const Cx a = in.op == Op::Const || in.op == Op::Field ? Cx{} : ws.uniform[slot_[in.a]];
            const bool binary = in.op == Op::Add || in.op == Op::Sub || in.op == Op::Mul || in.op == Op::Div ||
                                in.op == Op::PowReal || in.op == Op::Pow;
            const Cx b = binary ? ws.uniform[slot_[in.b]] : Cx{};
            ws.uniform[slot_[i]] = apply(in, a, b, fields, 0.0);
            continue;
        }
        Cx* dst = array(i);
        switch (in.op) {
            case Op::S:
                for (std::size_t k = 0; k < count; ++k) dst[k] = {0.0 * omega[k], omega[k]};
                continue;
            case Op::PowS: {
                // s^p with a uniform exponent: on the positive imaginary axis,
                // ω^p·(cos pπ/2, sin pπ/2) with the constants and kernels the
                // built-in powers of s use.
                const Cx p = ws.uniform[slot_[in.b]];
                if (p.im != 0.0) break;
                const double fields_cpe[2] = {1.0, p.re};
                const Element::Prepared pre = Element::prepare(Kind::Cpe, fields_cpe);
                if (!pre.on_axis) {
                    for (std::size_t k = 0; k < count; ++k) dst[k] = cpow(Cx{0.0 * omega[k], omega[k]}, p.re);
                    continue;
                }
                if (!ln_hi) {
                    // ln ω once per evaluation, for every power of s.
                    ws.ln.resize(2 * count);
                    kernels::log_dd(ws.ln.data(), ws.ln.data() + count, omega, count);
                    ln_hi = ws.ln.data();
                    ln_lo = ws.ln.data() + count;
                }
                ws.real.resize(count);
                double* rp = ws.real.data();
                kernels::axis_pow(rp, omega, ln_hi, ln_lo, 1.0, 0.0, 0.0, pre.p, count);
                kernels::power_of_s(dst, omega, rp, pre.p, pre.cos_p, pre.sin_p, count);
                continue;
            }
            default: break;
        }
        const bool binary = in.op == Op::Add || in.op == Op::Sub || in.op == Op::Mul || in.op == Op::Div ||
                            in.op == Op::PowReal || in.op == Op::Pow || in.op == Op::PowS;
        const Instr& ia = code_[in.a];
        const Cx* pa = ia.varying ? array(in.a) : &ws.uniform[slot_[in.a]];
        const std::size_t sa = ia.varying ? 1 : 0;
        if (!binary) {
            if (in.op == Op::Tanh) {
                kernels::tanh_sat(dst, pa, count);
                continue;
            }
            for (std::size_t k = 0; k < count; ++k) dst[k] = apply(in, pa[k * sa], Cx{}, fields, omega[k]);
            continue;
        }
        const Instr& ib = code_[in.b];
        const Cx* pb = ib.varying ? array(in.b) : &ws.uniform[slot_[in.b]];
        const std::size_t sb = ib.varying ? 1 : 0;
        switch (in.op) {
            case Op::Add:
                if (sa && sb) {
                    kernels::add(dst, pa, pb, count);
                } else {
                    for (std::size_t k = 0; k < count; ++k) dst[k] = pa[k * sa] + pb[k * sb];
                }
                break;
            case Op::Sub:
                for (std::size_t k = 0; k < count; ++k) dst[k] = pa[k * sa] - pb[k * sb];
                break;
            case Op::Mul:
                if (!sa && pa->im == 0.0) {
                    const double r = pa->re;
                    for (std::size_t k = 0; k < count; ++k) dst[k] = r * pb[k];
                } else if (!sb && pb->im == 0.0) {
                    const double r = pb->re;
                    for (std::size_t k = 0; k < count; ++k) dst[k] = r * pa[k];
                } else {
                    for (std::size_t k = 0; k < count; ++k) dst[k] = pa[k * sa] * pb[k * sb];
                }
                break;
            case Op::Div:
                if (!sa && pa->im == 0.0) {
                    kernels::rdiv(dst, pa->re, pb, count);
                } else {
                    for (std::size_t k = 0; k < count; ++k) dst[k] = cdiv(pa[k * sa], pb[k * sb]);
                }
                break;
            default:
                for (std::size_t k = 0; k < count; ++k) dst[k] = gpow(pa[k * sa], pb[k * sb]);
                break;
        }
    }
    if (!code_[last].varying) std::fill(out, out + count, ws.uniform[slot_[last]]);
}

void Formula::evaluate_with_derivatives(const double* fields, const double* omega, std::size_t count, Cx* out,
                                        Cx* d_out, Workspace& ws) const {
    evaluate(fields, omega, count, out, ws);
    // Forward mode: each instruction holds its value and its derivative with
    // respect to every field; uniform ones are computed once.
    const std::size_t nf = field_count_;
    const std::size_t width = nf + 1;
    ws.dual.assign(code_.size() * width, Cx{});
    auto run = [&](const Instr& in, std::size_t i, double w) {
        Cx* r = ws.dual.data() + i * width;
        const Cx* a = ws.dual.data() + in.a * width;
        const Cx* b = ws.dual.data() + in.b * width;
        Cx* d = r + 1;
        const Cx* da = a + 1;
        const Cx* db = b + 1;
        switch (in.op) {
            case Op::Const: r[0] = in.c; std::fill(d, d + nf, Cx{}); return;
            case Op::Field:
                r[0] = {fields[in.n], 0.0};
                std::fill(d, d + nf, Cx{});
                d[in.n] = {1.0, 0.0};
                return;
            case Op::S: r[0] = {0.0 * w, w}; std::fill(d, d + nf, Cx{}); return;
            case Op::Add: r[0] = a[0] + b[0]; for (std::size_t f = 0; f < nf; ++f) d[f] = da[f] + db[f]; return;
            case Op::Sub: r[0] = a[0] - b[0]; for (std::size_t f = 0; f < nf; ++f) d[f] = da[f] - db[f]; return;
            case Op::Neg: r[0] = {-a[0].re, -a[0].im}; for (std::size_t f = 0; f < nf; ++f) d[f] = Cx{} - da[f]; return;
            case Op::Mul:
                r[0] = a[0] * b[0];
                for (std::size_t f = 0; f < nf; ++f) d[f] = da[f] * b[0] + a[0] * db[f];
                return;
            case Op::Div: {
                r[0] = cdiv(a[0], b[0]);
                for (std::size_t f = 0; f < nf; ++f) d[f] = cdiv(da[f] - r[0] * db[f], b[0]);
                return;
            }
            case Op::PowInt: {
                r[0] = ipow(a[0], in.n);
                const Cx k = static_cast<double>(in.n) * ipow(a[0], in.n - 1);
                for (std::size_t f = 0; f < nf; ++f) d[f] = k * da[f];
                return;
            }
            case Op::PowReal: case Op::PowS: case Op::Pow: {
                r[0] = gpow(a[0], b[0]);
                // d(a^b) = b·a^(b-1)·da + a^b·log a·db
                const Cx k = b[0] * gpow(a[0], b[0] - Cx{1.0, 0.0});
                const bool exponent_moves = std::any_of(db, db + nf, [](Cx z) { return z.re != 0.0 || z.im != 0.0; });
                const Cx l = exponent_moves ? r[0] * clog(a[0]) : Cx{};
                for (std::size_t f = 0; f < nf; ++f) d[f] = k * da[f] + (exponent_moves ? l * db[f] : Cx{});
                return;
            }
            default: break;
        }
        r[0] = unary(in.op, a[0]);
        Cx k{};
        switch (in.op) {
            case Op::Exp: k = r[0]; break;
            case Op::Log: k = recip(a[0]); break;
            case Op::Sqrt: k = recip(2.0 * r[0]); break;
            case Op::Tanh: case Op::Coth: k = Cx{1.0, 0.0} - r[0] * r[0]; break;
            case Op::Sinh: k = ccosh(a[0]); break;
            case Op::Cosh: k = csinh(a[0]); break;
            default: break;
        }
        for (std::size_t f = 0; f < nf; ++f) d[f] = k * da[f];
    };
    for (std::size_t i = 0; i < code_.size(); ++i)
        if (!code_[i].varying) run(code_[i], i, 0.0);
    const std::size_t last = code_.size() - 1;
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t i = 0; i < code_.size(); ++i)
            if (code_[i].varying) run(code_[i], i, omega[k]);
        const Cx* r = ws.dual.data() + last * width;
        for (std::size_t f = 0; f < nf; ++f) d_out[f * count + k] = r[1 + f];
    }
}

Cx Formula::value_at(const double* fields, double omega) const {
    Workspace ws;
    Cx out;
    evaluate(fields, &omega, 1, &out, ws);
    return out;
}

UserKind make_user_kind(std::string code, std::vector<std::string> fields, std::string_view formula,
                        std::vector<std::string> units, std::vector<double> defaults, std::vector<double> lower,
                        std::vector<double> upper) {
    if (code.empty() || !std::all_of(code.begin(), code.end(), is_alpha))
        throw FormulaError("element code '" + code + "' must be ASCII letters only (circuit texts read the letters "
                           "before the digits of a label as the code)", kNoColumn);
    for (const KindInfo& info : kKinds) {
        for (std::string_view builtin : {std::string_view(info.code), std::string_view(info.help_code)}) {
            const bool same = builtin.size() == code.size() &&
                              std::equal(code.begin(), code.end(), builtin.begin(), [](char a, char b) {
                                  return (a | 0x20) == (b | 0x20);
                              });
            if (same) throw FormulaError("element code '" + code + "' is a built-in element", kNoColumn);
        }
    }
    const std::size_t n = fields.size();
    if (n > static_cast<std::size_t>(kMaxUserFields))
        throw FormulaError("an element has at most " + std::to_string(kMaxUserFields) + " fields", kNoColumn);
    auto formula_ptr = std::make_shared<const Formula>(Formula::compile(formula, fields));
    if (units.empty()) units.assign(n, "-");
    if (units.size() != n) throw FormulaError("units must give one unit per field", kNoColumn);
    if (defaults.empty()) defaults.assign(n, 1.0);
    if (defaults.size() != n) throw FormulaError("defaults must give one value per field", kNoColumn);
    if (lower.empty()) {
        for (const std::string& f : fields) lower.push_back(field_bounds(f).lo);
    }
    if (upper.empty()) {
        for (const std::string& f : fields) upper.push_back(field_bounds(f).hi);
    }
    if (lower.size() != n || upper.size() != n) throw FormulaError("bounds must give one pair per field", kNoColumn);
    for (std::size_t f = 0; f < n; ++f) {
        if (std::isnan(lower[f]) || std::isnan(upper[f]) || !(lower[f] < upper[f]))
            throw FormulaError("bounds of field '" + fields[f] + "' must satisfy lower < upper", kNoColumn);
        if (!std::isfinite(defaults[f]))
            throw FormulaError("default of field '" + fields[f] + "' must be finite", kNoColumn);
        if (defaults[f] < lower[f] || defaults[f] > upper[f])
            throw FormulaError("default of field '" + fields[f] + "' lies outside its bounds", kNoColumn);
    }
    return UserKind{std::move(code), std::move(fields), std::move(units), std::move(defaults),
                    std::move(lower), std::move(upper), std::move(formula_ptr)};
}

Registry& Registry::instance() {
    static Registry registry;
    return registry;
}

std::size_t Registry::define(UserKind kind) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < kinds_.size(); ++i) {
        const UserKind& old = *kinds_[i];
        if (old.code != kind.code) continue;
        const bool same = old.fields == kind.fields && old.units == kind.units && old.defaults == kind.defaults &&
                          old.lower == kind.lower && old.upper == kind.upper &&
                          old.formula->text() == kind.formula->text();
        if (!same)
            throw FormulaError("element code '" + kind.code +
                                   "' is already defined differently; circuits made with it keep its formula, "
                                   "so it cannot be redefined (choose another code)",
                               kNoColumn);
        return i;
    }
    kinds_.push_back(std::make_shared<const UserKind>(std::move(kind)));
    return kinds_.size() - 1;
}

std::size_t Registry::find(std::string_view code) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < kinds_.size(); ++i)
        if (kinds_[i]->code == code) return i;
    return npos;
}

std::shared_ptr<const UserKind> Registry::get(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < kinds_.size() ? kinds_[index] : nullptr;
}

std::size_t Registry::size() const {
    std::lock_guard lock(mutex_);
    return kinds_.size();
}

}  // namespace velotz::user
