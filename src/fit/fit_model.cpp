#include "fit/fit_model.hpp"

#include <utility>

namespace velotz {

FitModel::FitModel(const NodeList& circuit) : FitModel(std::make_shared<const NodeList>(circuit), nullptr) {}

FitModel::FitModel(std::shared_ptr<const NodeList> circuit, std::shared_ptr<const ParamMask> mask)
    : circuit_(std::move(circuit)), mask_(std::move(mask)) {
    constrained_ = mask_ && mask_->any();
    if (!constrained_) mask_.reset();
    const std::vector<Bounds> all = effective_bounds(*circuit_, mask_.get());
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (mask_ && mask_->is_fixed(i)) {
            any_fixed_ = true;
            continue;
        }
        free_.push_back(i);
        bounds_.push_back(all[i]);
    }
    if (any_fixed_) full_ = param_values(*circuit_);
}

std::vector<double> FitModel::values() const {
    const std::vector<double> all = param_values(*circuit_);
    if (!any_fixed_) return all;
    std::vector<double> out;
    out.reserve(free_.size());
    for (std::size_t i : free_) out.push_back(all[i]);
    return out;
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
    std::vector<double> scratch;
    return velotz::residuals_into(*circuit_, expand(free, scratch), data, counter, out);
}

std::expected<std::vector<std::vector<double>>, std::string> FitModel::jacobian_columns(
    const std::vector<double>& free, const Measurement& data, EvalCounter& counter) const {
    std::vector<double> scratch;
    auto columns = velotz::jacobian_columns(*circuit_, expand(free, scratch), data, counter);
    if (!columns || !any_fixed_) return columns;
    std::vector<std::vector<double>> kept;
    kept.reserve(free_.size());
    for (std::size_t k = 0; k < free_.size() && k < free.size(); ++k) kept.push_back(std::move((*columns)[free_[k]]));
    return kept;
}

NodeList FitModel::rebuild(const std::vector<double>& free) const {
    std::vector<double> scratch;
    return velotz::rebuild(*circuit_, expand(free, scratch));
}

FitModel FitModel::with_values(const std::vector<double>& free) const {
    return FitModel(std::make_shared<const NodeList>(rebuild(free)), mask_);
}

}  // namespace velotz
