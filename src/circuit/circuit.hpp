#pragma once
// The circuit tree: a series list of nodes, each an element with an optional
// label or a parallel group of series branches. Trees are immutable values;
// every change of values builds a new tree.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "elements/element.hpp"

namespace velotz {

struct Node;
using NodeList = std::vector<Node>;

struct Node {
    enum class Type : std::uint8_t { Element, Parallel };
    Type type = Type::Element;
    Element element;                   // Type::Element
    std::optional<std::string> label;  // Type::Element; parsed elements carry one
    std::vector<NodeList> branches;    // Type::Parallel

    static Node leaf(const Element& e, std::optional<std::string> label = std::nullopt);
    static Node parallel(std::vector<NodeList> branches);
    bool is_parallel() const { return type == Type::Parallel; }
    bool operator==(const Node& o) const;
};

struct Leaf {
    const Element* element;
    const std::optional<std::string>* label;
};

// ---------------------------------------------------------------- parameters
std::vector<Leaf> collect_leaves(const NodeList& series);
std::size_t param_count(const NodeList& series);
std::vector<std::string> param_names(const NodeList& series);
std::vector<std::string> param_units(const NodeList& series);
std::vector<Bounds> param_bounds(const NodeList& series);
std::vector<double> param_values(const NodeList& series);
// param_values and param_bounds written into existing vectors: the same
// values in the same order, with no allocation once they have the capacity.
void param_values_into(const NodeList& series, std::vector<double>& out);
void param_bounds_into(const NodeList& series, std::vector<Bounds>& out);

// Whether two trees have the same shape and element kinds (values and labels
// aside), so that what is compiled from one (a CircuitProgram) serves the
// other. Trees with user-defined elements never match: their compiled
// formulas are looked up when a program is built.
bool same_shape(const NodeList& a, const NodeList& b);

// A new tree of the same shape and labels whose leaves take consecutive
// values of `values` (which must hold at least param_count values).
NodeList rebuild(const NodeList& series, const std::vector<double>& values);

// Every K and Zarc replaced by its two-element parallel equivalent; sets
// `expanded` when anything was replaced (never clears it).
NodeList expand_series(const NodeList& series, bool& expanded);

// The "did you mean" suggestion for an unknown parameter name.
std::optional<std::string> closest_param_name(std::string_view unknown,
                                              const std::vector<std::string>& valid);

// ---------------------------------------------------------------- evaluation
// Impedance at angular frequency omega from the stored values.
Cx impedance(const NodeList& series, double omega);

// Reads parameters in leaf and field order; `ok` turns false (and the
// evaluation yields NaN) when the vector runs out.
struct ParamCursor {
    const double* pos;
    const double* end;
    bool ok = true;
};

// Impedance at omega with the parameters read through a fresh cursor over
// `params`; values beyond those the leaves consume are ignored.
Cx series_impedance_with_params(const NodeList& series, double omega, ParamCursor& cursor);

// A circuit bound to a parameter vector for evaluation one frequency at a
// time: the tree flattened into a list of operations, with the frequency-
// independent constants of every element computed once. Gives the same
// values as series_impedance_with_params, bit for bit. (Spectra and fits go
// through CircuitProgram, circuit/program.hpp, which evaluates a whole
// spectrum per step.)
class BoundCircuit {
public:
    // Binds `params` (read in leaf and field order; they must outlive this
    // object). Returns false when they hold fewer values than the leaves need.
    bool bind(const NodeList& series, const double* params, std::size_t count);

    // Impedance at angular frequency omega.
    Cx impedance(double omega) const;

    // For callers that change one leaf at a time (a finite-difference
    // Jacobian): `record` evaluates at omega and keeps every intermediate
    // value (op_count() entries: leaf impedances, branch admittances, group
    // impedances); `replay` then gives the impedance with one leaf replaced
    // by `value`, recomputing only the groups that contain it. Both give the
    // bits a full evaluation would.
    std::size_t leaf_count() const { return leaves_.size(); }
    std::size_t op_count() const { return ops_.size(); }
    Cx record(double omega, Cx* cache) const;
    Cx replay(const Cx* cache, std::size_t leaf, Cx value) const;

    // The leaf that reads parameter `index` and the field it is, or
    // leaf_count() for a parameter no leaf reads.
    std::size_t leaf_of_param(std::size_t index) const;
    // A leaf's kind, its first parameter index and its field count.
    Kind leaf_kind(std::size_t leaf) const { return leaves_[leaf].kind; }
    std::size_t leaf_first_param(std::size_t leaf) const { return leaves_[leaf].first; }

private:
    struct LeafInfo {
        Kind kind;
        std::size_t first;  // index of its first parameter
        const double* fields;
        Element::Prepared pre;
        std::size_t field_count;
    };
    struct Op {
        enum Code : std::uint8_t { Leaf, Open, EndBranch, Close };
        Code code;
        Kind kind;
        const double* fields;
        Element::Prepared pre;
        std::uint32_t user;  // Kind::User: the registry index
    };
    struct Frame {
        Cx outer;  // the series sum outside the group
        Cx admittance;
        bool outer_dirty;  // replay: the enclosing series holds the replaced leaf
        bool group_dirty;  // replay: a branch of this group holds it
    };
    void compile(const NodeList& series, std::size_t depth);
    // Evaluates at omega; with Keep, stores every op's value in cache.
    template <bool Keep>
    Cx evaluate(double omega, Cx* cache) const;

    std::vector<Op> ops_;
    std::vector<LeafInfo> leaves_;
    std::vector<std::size_t> leaf_ops_;  // op index of every leaf
    std::size_t max_depth_ = 0;
    const double* begin_ = nullptr;
    const double* cursor_ = nullptr;
    const double* end_ = nullptr;
    bool ok_ = true;
    mutable std::vector<Frame> stack_;
};

inline constexpr const char* kNotEnoughValues = "impedance_from_iter: not enough values supplied";

// Impedance at every frequency (hertz) in input order; from 1000 frequencies
// on the work is split over the worker pool.
std::vector<Cx> impedance_spectrum(const NodeList& series, const std::vector<double>& freqs_hz);
// The same values written to out[0 .. count) (no allocation of the result).
void impedance_spectrum_into(const NodeList& series, const double* freqs_hz, std::size_t count, Cx* out);

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr std::size_t kParallelImpedanceThreshold = 1000;

// ---------------------------------------------------------------- parsing
struct ParseError {
    enum class Kind { UnexpectedChar, UnexpectedEnd, UnknownCode, TrailingInput, DuplicateLabel, TooDeep };
    Kind kind;
    std::size_t pos = 0;  // 0-based character position
    std::string text;     // the code (UnknownCode) or the label (DuplicateLabel)

    std::string display() const;
    bool has_position() const {
        return kind == Kind::UnexpectedChar || kind == Kind::UnknownCode || kind == Kind::TrailingInput ||
               kind == Kind::TooDeep;
    }
};

// Parallel groups may nest this deep; deeper texts are refused instead of
// exhausting the stack in the recursive parser and evaluator.
inline constexpr std::size_t kMaxNesting = 200;

std::expected<NodeList, ParseError> parse(std::string_view text);

// The multi-line message for a failed parse of `text`: the error, a caret
// line where it has a position, the syntax hints and the element table.
std::string parse_error_message(const ParseError& error, std::string_view text);

}  // namespace velotz
