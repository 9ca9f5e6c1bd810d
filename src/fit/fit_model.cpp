#include "fit/fit_model.hpp"

#include <algorithm>
#include <utility>

namespace velotz {

FitModel::FitModel(const NodeList& circuit) : FitModel(std::make_shared<const NodeList>(circuit), nullptr) {}

FitModel::FitModel(std::shared_ptr<const NodeList> circuit, std::shared_ptr<const ParamMask> mask) {
    assign(std::move(circuit), std::move(mask));
}

void FitModel::assign(std::shared_ptr<const NodeList> circuit, std::shared_ptr<const ParamMask> mask) {
    circuit_ = std::move(circuit);
    mask_ = std::move(mask);
    constrained_ = mask_ && mask_->any();
    if (!constrained_) mask_.reset();
    any_fixed_ = false;
    // effective_bounds, written straight into bounds_: the default bounds,
    // custom ones in their places, and the fixed parameters' removed.
    param_bounds_into(*circuit_, bounds_);
    free_.clear();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
        if (mask_ && mask_->is_fixed(i)) {
            any_fixed_ = true;
            continue;
        }
        free_.push_back(i);
        bounds_[kept++] = (mask_ && mask_->has_bounds(i)) ? *mask_->bounds[i] : bounds_[i];
    }
    bounds_.resize(kept);
    if (any_fixed_) {
        param_values_into(*circuit_, full_);
    } else {
        full_.clear();
    }
}

std::vector<double> FitModel::values() const {
    std::vector<double> out;
    values_into(out);
    return out;
}

void FitModel::values_into(std::vector<double>& out) const {
    param_values_into(*circuit_, out);
    if (!any_fixed_) return;
    // Free values only, in order: each moves down to its place.
    for (std::size_t k = 0; k < free_.size(); ++k) out[k] = out[free_[k]];
    out.resize(free_.size());
}

std::vector<std::string> FitModel::names() const {
    std::vector<std::string> all = param_names(*circuit_);
    if (!any_fixed_) return all;
    std::vector<std::string> out;
    out.reserve(free_.size());
    for (std::size_t i : free_) out.push_back(std::move(all[i]));
    return out;
}

const std::vector<double>& FitModel::expand(const std::vector<double>& free, std::vector<double>& scratch) const {
    if (!any_fixed_) return free;
    scratch = full_;
    const std::size_t n = std::min(free.size(), free_.size());
    for (std::size_t k = 0; k < n; ++k) scratch[free_[k]] = free[k];
    return scratch;
}

bool FitModel::residuals_into(const std::vector<double>& free, const Measurement& data, EvalCounter& counter,
                              std::vector<double>& out) const {
    FitEvaluator evaluator(*this, data);
    return evaluator.residuals(free, counter, out);
}

std::expected<std::vector<std::vector<double>>, std::string> FitModel::jacobian_columns(
    const std::vector<double>& free, const Measurement& data, EvalCounter& counter) const {
    if (!any_fixed_) return velotz::jacobian_columns(*circuit_, free, data, counter);
    FitEvaluator evaluator(*this, data);
    const std::size_t n = std::min(free.size(), free_.size());
    const std::size_t m = 2 * evaluator.points();
    std::vector<double> jac(m * n);
    if (!evaluator.jacobian(free, counter, jac.data())) return std::unexpected(std::string(kNotEnoughValues));
    std::vector<std::vector<double>> columns(n);
    for (std::size_t k = 0; k < n; ++k) {
        columns[k].assign(jac.begin() + static_cast<std::ptrdiff_t>(k * m),
                          jac.begin() + static_cast<std::ptrdiff_t>((k + 1) * m));
    }
    return columns;
}

NodeList FitModel::rebuild(const std::vector<double>& free) const {
    std::vector<double> scratch;
    return velotz::rebuild(*circuit_, expand(free, scratch));
}

FitModel FitModel::with_values(const std::vector<double>& free) const {
    return FitModel(std::make_shared<const NodeList>(rebuild(free)), mask_);
}

}  // namespace velotz

namespace velotz {

FitEvaluator::FitEvaluator(const FitModel& model, const Measurement& data) : residuals_(model.circuit(), data) {
    bind_model(model);
}

void FitEvaluator::bind_model(const FitModel& model) {
    free_.assign(model.free_index().begin(), model.free_index().end());
    param_values_into(model.circuit(), fixed_values_);
    any_fixed_ = free_.size() != fixed_values_.size();
    if (any_fixed_) {
        full_.assign(fixed_values_.begin(), fixed_values_.end());
        zero_.assign(fixed_values_.size(), true);
    }
}

const std::vector<double>& FitEvaluator::expand(const std::vector<double>& free) {
    if (!any_fixed_) return free;
    // As FitModel::expand: entries beyond `free` keep the model's values.
    const std::size_t n = std::min(free.size(), free_.size());
    for (std::size_t k = 0; k < n; ++k) full_[free_[k]] = free[k];
    for (std::size_t k = n; k < free_.size(); ++k) full_[free_[k]] = fixed_values_[free_[k]];
    return full_;
}

bool FitEvaluator::residuals(const std::vector<double>& free, EvalCounter& counter, std::vector<double>& out) {
    return residuals_.residuals(expand(free), counter, out);
}

double FitEvaluator::cost(const std::vector<double>& free, EvalCounter& counter) {
    return residuals_.cost(expand(free), counter);
}

bool FitEvaluator::jacobian(const std::vector<double>& free, EvalCounter& counter, double* colmajor,
                            const std::vector<bool>* zero) {
    if (!any_fixed_) return residuals_.jacobian(free, counter, colmajor, zero);
    const std::vector<double>& full = expand(free);
    const std::size_t n = std::min(free.size(), free_.size());
    // Only the columns asked for are computed: the fixed parameters' and the
    // zero ones' are flagged.
    for (std::size_t k = 0; k < free_.size(); ++k) {
        zero_[free_[k]] = k >= n || (zero && k < zero->size() && (*zero)[k]);
    }
    const std::size_t m = 2 * points();
    if (jac_.size() < m * full.size()) jac_.resize(m * full.size());
    if (!residuals_.jacobian(full, counter, jac_.data(), &zero_)) return false;
    for (std::size_t k = 0; k < n; ++k) {
        const double* src = jac_.data() + free_[k] * m;
        std::copy(src, src + m, colmajor + k * m);
    }
    return true;
}

// ---------------------------------------------------------------- FitProblem

namespace {

FitEvaluator compile_request(const FitModel& model, const std::vector<double>& frequencies,
                             const std::vector<Cx>& impedances, Weighting weighting) {
    const std::vector<double> omegas = angular(frequencies);
    const std::vector<double> weights = compute_weights(impedances, weighting);
    return FitEvaluator(model, Measurement{omegas, impedances, weights});
}

}  // namespace

FitEvaluator::FitEvaluator(const FitModel& model, const std::vector<double>& frequencies,
                           const std::vector<Cx>& impedances, Weighting weighting)
    : FitEvaluator(compile_request(model, frequencies, impedances, weighting)) {}

void FitEvaluator::assign(const FitModel& model, const std::vector<double>& frequencies,
                          const std::vector<Cx>& impedances, Weighting weighting) {
    residuals_.assign_spectrum(frequencies, impedances, weighting);
    bind_model(model);
}

FitProblem::FitProblem(FitModel model_in, const std::vector<double>& frequencies,
                       const std::vector<Cx>& impedances, Weighting weighting)
    : model(std::move(model_in)), evaluator(compile_request(model, frequencies, impedances, weighting)) {}

std::unique_ptr<FitEvaluator> FitProblem::another_evaluator() const {
    return std::make_unique<FitEvaluator>(
        model, Measurement{evaluator.omegas(), evaluator.impedances(), evaluator.weights()});
}

}  // namespace velotz
