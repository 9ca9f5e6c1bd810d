#pragma once
// The circuit as the fitting code sees it: only its free parameters, with
// the bounds the fit uses for them. A circuit may hold some parameters fixed
// and narrow others' bounds (circuit/param_mask.hpp); every optimizer, the
// candidate starts, the clamping and the outcome work on the vector of free
// parameters, and this class expands it to the full vector at the one place
// where it meets the residuals and the Jacobian.
//
// Without a mask (or with one that constrains nothing) the free vector is
// the full vector, the bounds are param_bounds and every operation is the
// plain one, bit for bit and count for count.
#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/param_mask.hpp"
#include "fit/residuals.hpp"

namespace velotz {

class FitModel {
public:
    // Every parameter free, with its default bounds.
    FitModel(const NodeList& circuit);  // NOLINT(google-explicit-constructor): a plain tree is a model
    // `mask` may be null (no constraints); it must suit the tree (check_mask).
    FitModel(std::shared_ptr<const NodeList> circuit, std::shared_ptr<const ParamMask> mask);
    // Turns this model into FitModel(circuit, mask), reusing its arrays (no
    // allocation once they have the capacity).
    void assign(std::shared_ptr<const NodeList> circuit, std::shared_ptr<const ParamMask> mask);
    // Drops the references to the tree and the mask (a model kept for reuse
    // must not hold on to a caller's tree).
    void release() {
        circuit_.reset();
        mask_.reset();
    }

    // The tree with its current values (fixed parameters at their values).
    const NodeList& circuit() const { return *circuit_; }
    const std::shared_ptr<const ParamMask>& mask() const { return mask_; }
    bool constrained() const { return constrained_; }

    std::size_t free_count() const { return bounds_.size(); }
    // Bounds, current values and names of the free parameters, in
    // param_names order.
    const std::vector<Bounds>& bounds() const { return bounds_; }
    std::vector<double> values() const;
    // values() written into `out` (no allocation once it has the capacity).
    void values_into(std::vector<double>& out) const;
    std::vector<std::string> names() const;
    // Position of each free parameter in the full vector.
    const std::vector<std::size_t>& free_index() const { return free_; }

    // The full parameter vector for a free one: the free values in their
    // places, the fixed values in theirs. Returns `free` itself when nothing
    // is fixed (no copy), else `scratch` filled.
    const std::vector<double>& expand(const std::vector<double>& free, std::vector<double>& scratch) const;

    // residuals_into and jacobian_columns (fit/residuals.hpp) at the free
    // vector, through a FitEvaluator compiled for this one call. The Jacobian has one column per free parameter; when some are
    // fixed it is computed for the full vector and their columns dropped, so
    // the counter also counts the dropped columns' evaluations.
    bool residuals_into(const std::vector<double>& free, const Measurement& data, EvalCounter& counter,
                        std::vector<double>& out) const;
    std::expected<std::vector<std::vector<double>>, std::string> jacobian_columns(const std::vector<double>& free,
                                                                                  const Measurement& data,
                                                                                  EvalCounter& counter) const;

    // The tree rebuilt with a free vector (at least free_count values).
    NodeList rebuild(const std::vector<double>& free) const;
    // The same model started from other free values.
    FitModel with_values(const std::vector<double>& free) const;

private:
    std::shared_ptr<const NodeList> circuit_;
    std::shared_ptr<const ParamMask> mask_;
    bool constrained_ = false;  // the mask fixes or narrows anything
    bool any_fixed_ = false;
    std::vector<std::size_t> free_;
    std::vector<Bounds> bounds_;
    std::vector<double> full_;  // current full vector (the fixed values' source)
};

// A FitModel compiled against one measured spectrum for all the evaluations
// of a fit: the ResidualModel of the tree (compiled once, see
// fit/residuals.hpp) and the full parameter vector kept as scratch, the fixed
// values in their places, so that expanding a free vector allocates nothing.
// Residuals, cost and Jacobian take free vectors and give the values and
// counts of FitModel::residuals_into and jacobian_columns, bit for bit.
//
// The evaluator serves every model of the same tree and mask whose fixed
// values are those of the model it was built from (with_values keeps them),
// so the local fits of a polish or of basin hopping can share one. One thread
// at a time.
class FitEvaluator {
public:
    FitEvaluator(const FitModel& model, const Measurement& data);
    // An evaluator of FitProblem(model, frequencies, impedances, weighting),
    // compiled once; `assign` then turns it into that of another model of the
    // same shape (same_shape) against another spectrum, reusing every array:
    // the values and counts are those of a freshly compiled one.
    FitEvaluator(const FitModel& model, const std::vector<double>& frequencies, const std::vector<Cx>& impedances,
                 Weighting weighting);
    void assign(const FitModel& model, const std::vector<double>& frequencies, const std::vector<Cx>& impedances,
                Weighting weighting);

    std::size_t points() const { return residuals_.points(); }
    const std::vector<double>& omegas() const { return residuals_.omegas(); }
    const std::vector<Cx>& impedances() const { return residuals_.impedances(); }
    const std::vector<double>& weights() const { return residuals_.weights(); }

    bool residuals(const std::vector<double>& free, EvalCounter& counter, std::vector<double>& out);
    // 0.5·Σr² at `free` (one counted evaluation), NaN when it fails.
    double cost(const std::vector<double>& free, EvalCounter& counter);
    // The Jacobian over the free parameters, column-major into `colmajor`
    // (2N rows, one column per entry of `free`, at most free_count). Columns
    // whose `zero` flag is set (indexed like `free`) are zeros and not
    // computed. Counts two evaluations per parameter of the full vector: a
    // fixed parameter's column is not computed either, but counted as before.
    bool jacobian(const std::vector<double>& free, EvalCounter& counter, double* colmajor,
                  const std::vector<bool>* zero = nullptr);

private:
    // `free` in its places in the full vector; `free` itself without fixed parameters.
    const std::vector<double>& expand(const std::vector<double>& free);
    // The model's free indices and fixed values (both constructors, assign).
    void bind_model(const FitModel& model);

    ResidualModel residuals_;
    std::vector<std::size_t> free_;
    bool any_fixed_ = false;
    std::vector<double> full_;       // scratch: the full vector, fixed values in place
    std::vector<double> fixed_values_;  // the full vector the model was built with
    std::vector<bool> zero_;         // per full parameter: column not computed
    std::vector<double> jac_;        // the full Jacobian when parameters are fixed
};

// One fit request compiled once: the model (free parameters, their bounds
// and starting values) and the evaluator compiled for the measured spectrum,
// with ω = 2πf and the weights computed once. The multi-start, the global
// searches, the polish after them and basin hopping's local fits all work
// on one problem; a search that runs on several threads gives each thread
// an evaluator of its own (`another_evaluator`).
struct FitProblem {
    FitProblem(FitModel model, const std::vector<double>& frequencies, const std::vector<Cx>& impedances,
               Weighting weighting);

    const std::vector<Bounds>& bounds() const { return model.bounds(); }
    // An evaluator of its own for the same model and spectrum.
    std::unique_ptr<FitEvaluator> another_evaluator() const;

    FitModel model;
    FitEvaluator evaluator;  // one thread at a time
};

}  // namespace velotz
