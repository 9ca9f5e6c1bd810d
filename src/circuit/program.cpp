#include "circuit/program.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/kernels.hpp"
#include "elements/formulas.hpp"

namespace velotz {

SpectrumGrid::SpectrumGrid(std::vector<double> omegas, bool with_log)
    : omega(std::move(omegas)), sqrt_omega(omega.size()) {
    for (std::size_t j = 0; j < omega.size(); ++j) sqrt_omega[j] = std::sqrt(omega[j]);
    if (with_log) {
        ln_hi.resize(omega.size());
        ln_lo.resize(omega.size());
        kernels::log_dd(ln_hi.data(), ln_lo.data(), omega.data(), omega.size());
    }
}

void SpectrumGrid::assign_hertz(const double* hz, std::size_t count, bool with_sqrt, bool with_log) {
    omega.resize(count);
    sqrt_omega.resize(with_sqrt ? count : 0);
    kernels::angular(omega.data(), with_sqrt ? sqrt_omega.data() : nullptr, hz, kTwoPi, count);
    ln_hi.resize(with_log ? count : 0);
    ln_lo.resize(with_log ? count : 0);
    if (with_log) kernels::log_dd(ln_hi.data(), ln_lo.data(), omega.data(), count);
}

bool CircuitProgram::needs_sqrt() const {
    for (const LeafInfo& leaf : leaves_) {
        if (leaf.kind == Kind::W) return true;
    }
    return false;
}

bool CircuitProgram::needs_log() const {
    for (const LeafInfo& leaf : leaves_) {
        if (leaf.kind == Kind::User) return true;  // its powers of s read the grid's logarithms
        if (formula::dispatch(leaf.kind, [&]<Kind K>() { return formula::kTakesPower<K>; })) return true;
    }
    return false;
}

CircuitProgram::CircuitProgram(const NodeList& root) {
    result_ = series(root);
    fuse();
    // The chain of steps above every leaf: each slot is read by exactly one
    // step, so following the slot a leaf writes gives a single chain.
    for (LeafInfo& leaf : leaves_) {
        std::uint32_t dirty = steps_[leaf.step].dst;
        for (std::size_t i = leaf.step + 1; i < steps_.size(); ++i) {
            const Step& s = steps_[i];
            if (s.code == Code::Add && s.b == dirty) {
                leaf.path.push_back({PathCode::AddLeft, s.a});
            } else if (s.code == Code::Add && s.a == dirty) {
                leaf.path.push_back({PathCode::AddRight, s.b});
            } else if (s.code == Code::Recip && s.a == dirty) {
                leaf.path.push_back({PathCode::Recip, 0});
            } else {
                continue;
            }
            dirty = s.dst;
        }
    }
}

// Compiles one series list and returns the slot of its sum (slot 0, zeros,
// for an empty list). The steps mirror series_impedance_with_params: the sum
// starts at 0 + 0j and adds each node's impedance in order; a group's
// admittance starts at 0 + 0j and adds the reciprocal of each branch.
std::uint32_t CircuitProgram::series(const NodeList& list) {
    std::uint32_t acc = 0;
    for (const Node& node : list) {
        std::uint32_t value;
        if (node.is_parallel()) {
            std::uint32_t admittance = 0;
            for (const NodeList& branch : node.branches) {
                const std::uint32_t z = series(branch);
                const std::uint32_t inv = new_slot();
                steps_.push_back({Code::Recip, inv, z, 0});
                const std::uint32_t sum = new_slot();
                steps_.push_back({Code::Add, sum, admittance, inv});
                admittance = sum;
            }
            value = new_slot();
            steps_.push_back({Code::Recip, value, admittance, 0});
        } else {
            value = new_slot();
            const Kind kind = node.element.kind;
            const bool keeps = kind != Kind::User &&
                               formula::dispatch(kind, [&]<Kind K>() { return formula::kFirstFieldOutside<K>; });
            leaves_.push_back({kind, param_count_, steps_.size(), keeps ? new_slot() : 0, {},
                               static_cast<std::size_t>(node.element.field_count()),
                               kind == Kind::User ? user::Registry::instance().get(node.element.user)->formula
                                                  : nullptr});
            steps_.push_back({Code::Leaf, value, static_cast<std::uint32_t>(leaves_.size() - 1), 0});
            param_count_ += static_cast<std::size_t>(node.element.field_count());
        }
        const std::uint32_t sum = new_slot();
        steps_.push_back({Code::Add, sum, acc, value});
        acc = sum;
    }
    return acc;
}

// Pairs every Leaf and Recip step with the Add right after it, which reads
// its value as the second operand: series() emits them that way. Slots that
// only carried a value from one to the other disappear; the sums get blocks
// numbered in order. Any other shape leaves fused_ empty.
void CircuitProgram::fuse() {
    constexpr std::uint32_t kNone = UINT32_MAX;
    std::vector<std::uint32_t> block(slot_count_, kNone);
    block[0] = 0;
    std::uint32_t next = 1;
    for (std::size_t i = 0; i < steps_.size(); i += 2) {
        const Step& s = steps_[i];
        const bool paired = i + 1 < steps_.size() && s.code != Code::Add && steps_[i + 1].code == Code::Add &&
                            steps_[i + 1].b == s.dst && block[steps_[i + 1].a] != kNone &&
                            (s.code == Code::Leaf || block[s.a] != kNone);
        if (!paired) {
            fused_.clear();
            return;
        }
        const Step& add = steps_[i + 1];
        block[add.dst] = next++;
        fused_.push_back({s.code, block[add.dst], block[add.a], s.code == Code::Leaf ? s.a : block[s.a]});
    }
    fused_blocks_ = next;
    fused_result_ = block[result_];
}

double* CircuitProgram::Workspace::block(std::size_t doubles) {
    if (block_.size() < doubles) block_.resize(doubles);
    return block_.data();
}

Cx* CircuitProgram::Workspace::leaf_scratch() {
    if (leaf_scratch_.size() < kFusedBlock) leaf_scratch_.resize(kFusedBlock);
    return leaf_scratch_.data();
}

Element::Prepared* CircuitProgram::Workspace::prepared(std::size_t leaves) {
    if (prepared_.size() < leaves) prepared_.resize(leaves);
    return prepared_.data();
}

void CircuitProgram::Workspace::reserve(const CircuitProgram& program, std::size_t points) {
    const std::size_t stride = std::max(points, points_);
    if (stride != points_ || program.slot_count() * stride > data_.size()) {
        points_ = stride;
        // Zero-filled: slot 0 stays all zeros, no step writes it.
        data_.assign(program.slot_count() * stride, Cx{0.0, 0.0});
    }
}

namespace {

// Frequencies per block of powers computed at once (on the stack).
constexpr std::size_t kPowerBlock = 128;

// out[j] for j < count: the impedance of a variant K leaf at grid points
// [begin, begin + count), or with Part its kept part. Fractional powers on
// the axis come from kernels::axis_pow a block at a time (the bits of
// formula::axis_power).
template <Kind K, bool Part>
void leaf_loop(const double* fields, const Element::Prepared& pre, const SpectrumGrid& grid, std::size_t begin,
               std::size_t count, Cx* out) {
    const double* w = grid.omega.data() + begin;
    // √ω is there when the circuit has a W element, the only one to read it.
    const double* sw = K == Kind::W ? grid.sqrt_omega.data() + begin : nullptr;
    auto one = [&](std::size_t j, double rp) {
        if constexpr (Part) {
            return formula::outside_part<K>(fields, pre, w[j], rp);
        } else {
            return formula::impedance<K>(fields, pre, w[j], K == Kind::W ? sw[j] : 0.0, rp);
        }
    };
    if constexpr (formula::kTakesPower<K>) {
        if (pre.on_axis) {
            const bool have_log = grid.ln_hi.size() >= begin + count;
            double rp[kPowerBlock];
            for (std::size_t b = 0; b < count; b += kPowerBlock) {
                const std::size_t n = std::min(kPowerBlock, count - b);
                if (have_log) {
                    kernels::axis_pow(rp, w + b, grid.ln_hi.data() + begin + b, grid.ln_lo.data() + begin + b, pre.x,
                                      pre.ln_x_hi, pre.ln_x_lo, pre.p, n);
                } else {
                    for (std::size_t j = 0; j < n; ++j) rp[j] = formula::axis_power(pre, w[b + j]);
                }
                if constexpr (K == Kind::Cpe && Part) {
                    // The part s^alpha, four frequencies at a time.
                    kernels::power_of_s(out + b, w + b, rp, pre.p, pre.cos_p, pre.sin_p, n);
                } else {
                    for (std::size_t j = 0; j < n; ++j) out[b + j] = one(b + j, rp[j]);
                }
            }
            return;
        }
    }
    if constexpr (K == Kind::W) {
        kernels::warburg(out, fields[0], sw, count);
    } else if constexpr (formula::kTanhBlock<K> && (Part || !formula::kFirstFieldOutside<K>)) {
        // The tanh_sat values of a block at once, between the factor and the
        // rest of the formula: the operations of `one`, in the same order.
        Cx factor[kPowerBlock], th[kPowerBlock];
        for (std::size_t b = 0; b < count; b += kPowerBlock) {
            const std::size_t n = std::min(kPowerBlock, count - b);
            for (std::size_t j = 0; j < n; ++j) {
                factor[j] = formula::tanh_factor<K>(fields, w[b + j]);
                th[j] = formula::tanh_argument<K>(fields, factor[j]);
            }
            kernels::tanh_sat(th, th, n);
            for (std::size_t j = 0; j < n; ++j) out[b + j] = formula::from_tanh<K>(fields, factor[j], th[j]);
        }
    } else {
        for (std::size_t j = 0; j < count; ++j) out[j] = one(j, 0.0);
    }
}

// The impedance of a variant that keeps a part, from its first field and
// the part: the vector kernels give with_first_field's bits.
void from_part(Kind kind, double p0, const Cx* part, std::size_t count, Cx* out) {
    if (kind == Kind::Cpe) {
        kernels::recip_scaled(out, p0, part, count);
    } else {
        kernels::rdiv(out, p0, part, count);
    }
}

}  // namespace

void CircuitProgram::leaf_values(std::size_t leaf, const double* fields, const SpectrumGrid& grid,
                                 std::size_t begin, std::size_t count, Cx* out) const {
    const Kind kind = leaves_[leaf].kind;
    if (kind == Kind::User) {
        // The formula's own program over the block; its arrays per thread.
        thread_local user::Formula::Workspace formula_ws;
        const bool have_log = grid.ln_hi.size() >= begin + count;
        leaves_[leaf].formula->evaluate(fields, grid.omega.data() + begin,
                                        have_log ? grid.ln_hi.data() + begin : nullptr,
                                        have_log ? grid.ln_lo.data() + begin : nullptr, count, out, formula_ws);
        return;
    }
    const Element::Prepared pre = Element::prepare(kind, fields);
    formula::dispatch(kind, [&]<Kind K>() {
        if constexpr (formula::kFirstFieldOutside<K>) {
            leaf_loop<K, true>(fields, pre, grid, begin, count, out);
            from_part(K, fields[0], out, count, out);
        } else {
            leaf_loop<K, false>(fields, pre, grid, begin, count, out);
        }
    });
}

const Cx* CircuitProgram::evaluate(const double* params, const SpectrumGrid& grid, std::size_t begin,
                                   std::size_t count, Workspace& ws) const {
    run(params, grid, begin, count, ws, nullptr);
    return ws.slot(result_);
}

void CircuitProgram::evaluate_into(const double* params, const SpectrumGrid& grid, std::size_t begin,
                                   std::size_t count, Workspace& ws, Cx* out) const {
    if (result_ == 0) {
        std::fill_n(out, count, Cx{0.0, 0.0});
        return;
    }
    if (fused_.empty()) {
        run(params, grid, begin, count, ws, out);
    } else {
        run_fused(params, grid, begin, count, ws, out);
    }
}

void CircuitProgram::leaf_block(std::size_t leaf, const double* fields, const Element::Prepared& pre,
                                const SpectrumGrid& grid, std::size_t begin, std::size_t n, double* dst_block,
                                const double* acc_block, std::size_t stride, Cx* values) const {
    const kernels::Split dst{dst_block, dst_block + stride};
    const kernels::SplitIn acc{acc_block, acc_block + stride};
    const double* w = grid.omega.data() + begin;
    const Kind kind = leaves_[leaf].kind;
    switch (kind) {
        case Kind::R:
            kernels::block_const_add(dst, acc, fields[0], 0.0, n);
            return;
        case Kind::L:
        case Kind::C:
            kernels::block_axis_add(dst, acc, w, fields[0], kind == Kind::C, n);
            return;
        case Kind::W:
            kernels::block_warburg_add(dst, acc, grid.sqrt_omega.data() + begin, fields[0], n);
            return;
        case Kind::Cpe:
            if (pre.on_axis) {
                double rp[kFusedBlock];
                if (grid.ln_hi.size() >= begin + n) {
                    kernels::axis_pow(rp, w, grid.ln_hi.data() + begin, grid.ln_lo.data() + begin, pre.x, pre.ln_x_hi,
                                      pre.ln_x_lo, pre.p, n);
                } else {
                    for (std::size_t j = 0; j < n; ++j) rp[j] = formula::axis_power(pre, w[j]);
                }
                kernels::block_cpe_add(dst, acc, w, rp, pre.p, pre.cos_p, pre.sin_p, fields[0], n);
                return;
            }
            break;
        default:
            break;
    }
    // Any other element: its values (or its kept part) as leaf_values and
    // run() compute them, then added.
    if (kind != Kind::User &&
        formula::dispatch(kind, [&]<Kind K>() { return formula::kFirstFieldOutside<K>; })) {
        formula::dispatch(kind, [&]<Kind K>() {
            if constexpr (formula::kFirstFieldOutside<K>) leaf_loop<K, true>(fields, pre, grid, begin, n, values);
        });
        kernels::block_part_add(dst, acc, values, fields[0], kind == Kind::Cpe, n);
    } else {
        leaf_values(leaf, fields, grid, begin, n, values);
        kernels::block_values_add(dst, acc, values, n);
    }
}

void CircuitProgram::run_fused(const double* params, const SpectrumGrid& grid, std::size_t begin, std::size_t count,
                               Workspace& ws, Cx* out) const {
    // A longer block spreads the cost of each step's call over more points.
    const std::size_t stride = std::min(fused_stride(), count);
    const std::size_t size = 2 * stride;  // doubles per block: real parts, then imaginary parts
    double* blocks = ws.block(fused_blocks_ * size);
    // Block 0, the zeros a series sum starts from, is read from a constant
    // array instead: nothing needs clearing per call.
    static constexpr double kZeros[2 * kFusedBlock] = {};
    auto block = [&](std::uint32_t index) -> const double* {
        return index == 0 ? kZeros : blocks + index * size;
    };
    Element::Prepared* pre = ws.prepared(leaves_.size());
    Cx* scratch = ws.leaf_scratch();
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
        if (leaves_[i].kind != Kind::User) pre[i] = Element::prepare(leaves_[i].kind, params + leaves_[i].first);
    }
    // A last step that is a reciprocal writes the output itself.
    const bool recip_last = fused_.back().code == Code::Recip && fused_.back().dst == fused_result_;
    const std::size_t steps = fused_.size() - (recip_last ? 1 : 0);
    for (std::size_t b = 0; b < count; b += stride) {
        const std::size_t n = std::min(stride, count - b);
        for (std::size_t i = 0; i < steps; ++i) {
            const Fused& f = fused_[i];
            double* dst = blocks + f.dst * size;
            const double* acc = block(f.acc);
            if (f.code == Code::Leaf) {
                leaf_block(f.src, params + leaves_[f.src].first, pre[f.src], grid, begin + b, n, dst, acc, stride,
                           scratch);
            } else {
                const double* src = block(f.src);
                kernels::block_recip_add({dst, dst + stride}, {acc, acc + stride}, {src, src + stride}, n);
            }
        }
        if (recip_last) {
            const Fused& f = fused_.back();
            const double* acc = block(f.acc);
            const double* src = block(f.src);
            kernels::block_recip_add_into(out + b, {acc, acc + stride}, {src, src + stride}, n);
            continue;
        }
        const double* z = block(fused_result_);
        kernels::block_interleave(out + b, {z, z + stride}, n);
    }
}

void CircuitProgram::run(const double* params, const SpectrumGrid& grid, std::size_t begin, std::size_t count,
                         Workspace& ws, Cx* out) const {
    for (const Step& s : steps_) {
        // The circuit's impedance is the last step's, and no step reads it.
        Cx* dst = out != nullptr && s.dst == result_ ? out : ws.slot(s.dst);
        switch (s.code) {
            case Code::Leaf: {
                const LeafInfo& leaf = leaves_[s.a];
                const double* fields = params + leaf.first;
                if (leaf.part == 0) {
                    leaf_values(s.a, fields, grid, begin, count, dst);
                    break;
                }
                // Keep the part that does not depend on the first field.
                Cx* part = ws.slot(leaf.part);
                const Element::Prepared pre = Element::prepare(leaf.kind, fields);
                formula::dispatch(leaf.kind, [&]<Kind K>() {
                    if constexpr (formula::kFirstFieldOutside<K>) leaf_loop<K, true>(fields, pre, grid, begin, count, part);
                });
                from_part(leaf.kind, fields[0], part, count, dst);
                break;
            }
            case Code::Add:
                kernels::add(dst, ws.slot(s.a), ws.slot(s.b), count);
                break;
            case Code::Recip:
                kernels::recip(dst, ws.slot(s.a), count);
                break;
        }
    }
}

void CircuitProgram::leaf_values_first_field(std::size_t leaf, double p0, std::size_t count, const Workspace& ws,
                                             Cx* out) const {
    from_part(leaves_[leaf].kind, p0, ws.slot(leaves_[leaf].part), count, out);
}

void CircuitProgram::replace_leaf(std::size_t leaf, Cx* t, std::size_t count, const Workspace& ws) const {
    for (const PathStep& p : leaves_[leaf].path) {
        const Cx* other = ws.slot(p.other);
        switch (p.code) {
            case PathCode::AddLeft:
                kernels::add(t, other, t, count);
                break;
            case PathCode::AddRight:
                kernels::add(t, t, other, count);
                break;
            case PathCode::Recip:
                kernels::recip(t, t, count);
                break;
        }
    }
}

void CircuitProgram::replace_leaf_pair(std::size_t leaf, Cx* t, std::size_t count, const Workspace& ws) const {
    Cx* u = t + count;
    for (const PathStep& p : leaves_[leaf].path) {
        const Cx* other = ws.slot(p.other);
        switch (p.code) {
            case PathCode::AddLeft:
                kernels::add_pair(t, u, other, true, count);
                break;
            case PathCode::AddRight:
                kernels::add_pair(t, u, other, false, count);
                break;
            case PathCode::Recip:
                // Entry by entry, so both arrays in one pass.
                kernels::recip(t, t, 2 * count);
                break;
        }
    }
}

std::size_t CircuitProgram::leaf_of_param(std::size_t index) const {
    for (std::size_t i = 0; i < leaves_.size(); ++i) {
        const std::size_t first = leaves_[i].first;
        if (index >= first && index < first + leaves_[i].field_count) {
            return i;
        }
    }
    return leaves_.size();
}

}  // namespace velotz
