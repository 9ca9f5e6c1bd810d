#pragma once
// A circuit compiled once into a flat program that evaluates a whole
// spectrum at a time.
//
// The tree becomes a list of steps over arrays that hold one complex value
// per frequency ("slots"): the impedance of every leaf, the running sum of
// every series list after each of its nodes, the admittance of every
// parallel branch and the running admittance of every group. Each step runs
// one variant's formula or one complex operation over all frequencies, so
// there is no dispatch per frequency and no tree walk per frequency. The
// operations per frequency are exactly those of series_impedance_with_params
// in the same order, so the values are the same bits.
//
// Because every intermediate array is kept, a change of one leaf (a
// finite-difference Jacobian column) is re-evaluated along the chain of
// steps that depend on that leaf only: its series sums from that leaf on,
// the group above it, the series sums above that, and so on to the root.
//
// The program depends on the tree's shape and element kinds only, never on
// its stored values; parameters always come from a flat vector. It is
// immutable after construction and may be shared by threads; the mutable
// arrays live in a Workspace, one per thread.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "circuit/circuit.hpp"
#include "elements/user_formula.hpp"

namespace velotz {

// The frequency-only quantities of a spectrum, computed once: ω, √ω and,
// for circuits with fractional powers of s, ln ω as a double-double
// (kernels::log_dd; empty when not asked for, and then each power computes
// it itself, with the same bits).
struct SpectrumGrid {
    std::vector<double> omega;
    std::vector<double> sqrt_omega;
    std::vector<double> ln_hi;
    std::vector<double> ln_lo;

    SpectrumGrid() = default;
    explicit SpectrumGrid(std::vector<double> omegas, bool with_log = true);
    // ω = 2π·f of `count` frequencies in hertz, reusing the storage; √ω
    // only when with_sqrt (else left empty: only the W element reads it).
    void assign_hertz(const double* hz, std::size_t count, bool with_sqrt = true, bool with_log = true);
    std::size_t size() const { return omega.size(); }
};

class CircuitProgram {
public:
    // Most frequencies per block of evaluate_into's fused run, and the
    // complex values all its blocks together hold at most (beyond 16
    // frequencies per block).
    static constexpr std::size_t kFusedBlock = 256;
    static constexpr std::size_t kFusedBlockValues = 1536;

    explicit CircuitProgram(const NodeList& series);

    // Whether evaluate_into runs fused blocks (it then needs no reserve()).
    bool fused() const { return !fused_.empty(); }
    // Frequencies per block of the fused run: as many as keep every block in
    // about 24 KB (the first-level cache with room for the grid), from 16 to
    // kFusedBlock. A caller that evaluates a long spectrum in pieces of this
    // many frequencies runs one block per piece.
    std::size_t fused_stride() const {
        return std::min(kFusedBlock, std::max<std::size_t>(16, (kFusedBlockValues / fused_blocks_) & ~std::size_t{3}));
    }
    // Values the leaves read (param_count of the tree).
    std::size_t param_count() const { return param_count_; }
    std::size_t leaf_count() const { return leaves_.size(); }
    // Arrays a workspace holds per frequency.
    std::size_t slot_count() const { return slot_count_; }
    // Whether a leaf raises s·x to a fractional power (and reads ln ω).
    bool needs_log() const;
    // Whether a leaf reads √ω (the W element).
    bool needs_sqrt() const;

    // Everything one evaluation keeps: slot_count() arrays of `points`
    // values, slot 0 all zeros.
    class Workspace {
    public:
        // Sizes the arrays for `points` frequencies; allocates only when
        // they grow.
        void reserve(const CircuitProgram& program, std::size_t points);
        const Cx* slot(std::size_t s) const { return data_.data() + s * points_; }
        Cx* slot(std::size_t s) { return data_.data() + s * points_; }
        std::size_t points() const { return points_; }

        // Room for evaluate_into's blocks and the prepared constants of the
        // leaves; grows, never shrinks.
        double* block(std::size_t doubles);
        Element::Prepared* prepared(std::size_t leaves);
        // kFusedBlock values for one leaf's formula.
        Cx* leaf_scratch();

    private:
        std::vector<Cx> data_;
        std::size_t points_ = 0;
        std::vector<double> block_;
        std::vector<Element::Prepared> prepared_;
        std::vector<Cx> leaf_scratch_;
    };

    // Evaluates at grid points [begin, begin + count) with `params` (at least
    // param_count() values) into `ws` (reserved for at least `count` points)
    // and returns the array of the circuit's impedances inside `ws`.
    const Cx* evaluate(const double* params, const SpectrumGrid& grid, std::size_t begin, std::size_t count,
                       Workspace& ws) const;

    // As evaluate, with the circuit's impedances written to out[0 .. count)
    // instead of into `ws` (result() is then not valid). The same bits, by a
    // shorter road: no intermediate array is kept, so the steps run fused
    // over blocks of frequencies held in the first-level cache,
    // each value as separate real and imaginary arrays, and every element or
    // reciprocal added at once to the sum it feeds (kernels::block_*).
    void evaluate_into(const double* params, const SpectrumGrid& grid, std::size_t begin, std::size_t count,
                       Workspace& ws, Cx* out) const;

    // The array of the circuit's impedances of the last evaluate() into `ws`.
    const Cx* result(const Workspace& ws) const { return ws.slot(result_); }

    // The leaf that reads parameter `index`, or leaf_count() for none.
    std::size_t leaf_of_param(std::size_t index) const;
    Kind leaf_kind(std::size_t leaf) const { return leaves_[leaf].kind; }
    std::size_t leaf_field_count(std::size_t leaf) const { return leaves_[leaf].field_count; }
    std::size_t leaf_first_param(std::size_t leaf) const { return leaves_[leaf].first; }

    // Impedance of leaf `leaf` with the fields `fields` (its field count of
    // values) at grid points [begin, begin + count), into out.
    void leaf_values(std::size_t leaf, const double* fields, const SpectrumGrid& grid, std::size_t begin,
                     std::size_t count, Cx* out) const;

    // Whether the leaf's impedance is its first field combined with a part
    // that evaluate() keeps (Cpe, K, Zarc, Wo, G, Gs).
    bool leaf_keeps_part(std::size_t leaf) const { return leaves_[leaf].part != 0; }
    // After evaluate() into `ws`, for such a leaf: its impedance with the
    // first field replaced by p0, from the kept part; the same bits as
    // leaf_values with that field.
    void leaf_values_first_field(std::size_t leaf, double p0, std::size_t count, const Workspace& ws,
                                 Cx* out) const;

    // After evaluate() into `ws`: turns `values`, the new impedances of leaf
    // `leaf` at the same points, into the circuit's impedances with that leaf
    // replaced, recomputing only the steps that depend on it. Gives the bits
    // a full evaluation with the new leaf would give.
    void replace_leaf(std::size_t leaf, Cx* values, std::size_t count, const Workspace& ws) const;
    // replace_leaf on two arrays of new values at once (values[0 .. count)
    // and values[count .. 2·count), as the plus and minus steps of a
    // central difference): each gets the bits replace_leaf gives it.
    void replace_leaf_pair(std::size_t leaf, Cx* values, std::size_t count, const Workspace& ws) const;

private:
    enum class Code : std::uint8_t { Leaf, Add, Recip };
    struct Step {
        Code code;
        std::uint32_t dst;
        std::uint32_t a;  // Leaf: the leaf index; Add, Recip: first operand slot
        std::uint32_t b;  // Add: second operand slot
    };
    // A step on the chain above a leaf; the value being recomputed is t.
    enum class PathCode : std::uint8_t { AddLeft, AddRight, Recip };  // t = other + t, t + other, 1/t
    struct PathStep {
        PathCode code;
        std::uint32_t other;
    };
    struct LeafInfo {
        Kind kind;
        std::size_t first;
        std::size_t step;  // index of its Leaf step
        std::uint32_t part;  // slot of the kept part, or 0
        std::vector<PathStep> path;
        std::size_t field_count = 0;
        std::shared_ptr<const user::Formula> formula;  // Kind::User: its compiled formula
    };

    // The steps of evaluate; the circuit's impedance goes to `out` unless
    // it is null.
    void run(const double* params, const SpectrumGrid& grid, std::size_t begin, std::size_t count, Workspace& ws,
             Cx* out) const;
    std::uint32_t series(const NodeList& list);
    std::uint32_t new_slot() { return static_cast<std::uint32_t>(slot_count_++); }

    // A Leaf or Recip step fused with the Add that reads it:
    // block[dst] = block[acc] + value, where value is leaf `src`'s impedance
    // (Leaf) or the reciprocal of block[src] (Recip). Block 0 is zeros.
    struct Fused {
        Code code;
        std::uint32_t dst;
        std::uint32_t acc;
        std::uint32_t src;
    };
    void fuse();
    // evaluate_into's fused run over points [begin, begin + count).
    void run_fused(const double* params, const SpectrumGrid& grid, std::size_t begin, std::size_t count,
                   Workspace& ws, Cx* out) const;
    // One leaf's fused step over n points from `begin`.
    void leaf_block(std::size_t leaf, const double* fields, const Element::Prepared& pre, const SpectrumGrid& grid,
                    std::size_t begin, std::size_t n, double* dst, const double* acc, std::size_t stride,
                    Cx* scratch) const;

    std::vector<Step> steps_;
    std::vector<Fused> fused_;     // empty: evaluate_into runs the steps
    std::uint32_t fused_blocks_ = 1;  // blocks the fused run holds, block 0 zeros
    std::uint32_t fused_result_ = 0;  // block of the circuit's impedance
    std::vector<LeafInfo> leaves_;
    std::size_t param_count_ = 0;
    std::size_t slot_count_ = 1;  // slot 0: zeros
    std::uint32_t result_ = 0;    // slot of the circuit's impedance
};

}  // namespace velotz
