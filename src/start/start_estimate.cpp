#include "start/start_estimate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "fit/lm_fit.hpp"
#include "start/start_drt.hpp"
#include "util/interrupt.hpp"

namespace velotz {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Point {
    double w;
    Cx z;
};

double median(std::vector<double> v) {
    if (v.empty()) return kNaN;
    // The middle values of the sorted vector, found without sorting it all.
    const std::size_t n = v.size();
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (n % 2) return *mid;
    return 0.5 * (*std::max_element(v.begin(), mid) + *mid);
}

// The largest value of a window [a, b] of a fixed vector whose ends only
// move forward from one query to the next (a monotone queue: O(1) amortised
// per query, O(n) memory). NaN values are passed over (they count as -inf).
class SlidingMax {
public:
    explicit SlidingMax(const std::vector<double>& v) : v_(v) { queue_.reserve(v.size()); }
    double operator()(std::size_t a, std::size_t b) {
        for (; next_ <= b; ++next_) {
            while (queue_.size() > head_ && key(queue_.back()) <= key(next_)) queue_.pop_back();
            queue_.push_back(next_);
        }
        while (queue_[head_] < a) ++head_;
        return key(queue_[head_]);
    }

private:
    double key(std::size_t i) const {
        return std::isnan(v_[i]) ? -std::numeric_limits<double>::infinity() : v_[i];
    }
    const std::vector<double>& v_;
    std::vector<std::size_t> queue_;  // indices of decreasing values from queue_[head_] on
    std::size_t head_ = 0;
    std::size_t next_ = 0;
};

// -Im Z of a Zarc of resistance 1 relative to its peak, at x = ln(omega*tau).
double zarc_peak_ratio(double alpha, double x) {
    const double c = std::cos(alpha * kPi / 2);
    return (1.0 + c) / (std::cosh(alpha * x) + c);
}

// The depression exponent for which a Zarc's -Im Z at distance x (natural
// log of the frequency ratio) from its peak is `ratio` times the peak.
double alpha_from_ratio(double ratio, double x) {
    double lo = 0.3, hi = 1.0;
    if (!(ratio > 0.0) || !(ratio < 1.0)) return ratio >= 1.0 ? lo : hi;
    if (zarc_peak_ratio(lo, x) <= ratio) return lo;
    if (zarc_peak_ratio(hi, x) >= ratio) return hi;
    for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (zarc_peak_ratio(mid, x) > ratio) lo = mid;
        else hi = mid;
    }
    return 0.5 * (lo + hi);
}

// Resistance of a Zarc whose -Im Z peak is h.
double arc_r_from_height(double h, double alpha) {
    const double a = alpha * kPi / 2;
    return 2.0 * h * (1.0 + std::cos(a)) / std::sin(a);
}

}  // namespace

SpectrumShape analyse_spectrum(const std::vector<double>& freqs_hz, const std::vector<Cx>& impedances) {
    SpectrumShape s;
    std::vector<Point> pts;
    const std::size_t n_in = std::min(freqs_hz.size(), impedances.size());
    pts.reserve(n_in);
    for (std::size_t j = 0; j < n_in; ++j) {
        if (j % 65536 == 0) interruption_point();
        const double f = freqs_hz[j];
        const Cx z = impedances[j];
        if (std::isfinite(f) && f > 0.0 && std::isfinite(z.re) && std::isfinite(z.im)) pts.push_back({kTwoPi * f, z});
    }
    // Ascending frequency. Measured spectra usually come strictly ordered one
    // way or the other, which needs no sort (and gives the same order).
    if (std::adjacent_find(pts.begin(), pts.end(), [](const Point& a, const Point& b) { return !(a.w > b.w); }) ==
        pts.end()) {
        std::reverse(pts.begin(), pts.end());
    } else if (std::adjacent_find(pts.begin(), pts.end(), [](const Point& a, const Point& b) { return !(a.w < b.w); }) !=
               pts.end()) {
        std::sort(pts.begin(), pts.end(), [](const Point& a, const Point& b) { return a.w < b.w; });
    }
    interruption_point();
    const std::size_t n = pts.size();
    if (n < 3) return s;
    s.usable = true;
    s.omega_lo = pts.front().w;
    s.omega_hi = pts.back().w;
    {
        std::vector<double> mods;
        for (const Point& p : pts) mods.push_back(std::hypot(p.z.re, p.z.im));
        s.z_scale = std::max(median(mods), 1e-300);
    }
    interruption_point();
    // Inductance: the largest Im Z / omega among inductive points of the top decade.
    for (const Point& p : pts) {
        if (p.w >= s.omega_hi / 10.0 && p.z.im > 0.0) {
            s.inductive = true;
            s.inductance = std::max(s.inductance, p.z.im / p.w);
        }
    }
    interruption_point();
    std::vector<double> g(n);  // -Im Z without the inductance, ascending frequency
    for (std::size_t j = 0; j < n; ++j) g[j] = -(pts[j].z.im - pts[j].w * s.inductance);
    interruption_point();
    // High-frequency intercept: the real part where |Im Z| is smallest in the
    // upper half of the window (the foot of the first arc, or where an
    // inductive tail crosses the axis), and the smallest positive real part
    // of the top quarter (below the foot when a small arc sits above it).
    {
        const std::size_t top = std::max<std::size_t>(3, n / 4);
        double smallest = std::numeric_limits<double>::infinity();
        for (std::size_t j = n - std::min(top, n); j < n; ++j)
            if (pts[j].z.re > 0.0) smallest = std::min(smallest, pts[j].z.re);
        s.r_hf_min = std::isfinite(smallest) ? smallest : 1e-3 * s.z_scale;
        std::size_t at = n - 1;
        for (std::size_t j = n / 2; j < n; ++j)
            if (std::fabs(pts[j].z.im) < std::fabs(pts[at].z.im) && pts[j].z.re > 0.0) at = j;
        s.r_hf = pts[at].z.re > 0.0 ? pts[at].z.re : s.r_hf_min;
    }
    {
        std::vector<double> lows;
        for (std::size_t j = 0; j < std::min<std::size_t>(3, n); ++j) lows.push_back(pts[j].z.re);
        s.r_lf = std::max(median(lows), s.r_hf);
    }
    interruption_point();
    // Low-frequency tail: -Im Z at the bottom and its log-log slope.
    s.tail_omega = pts.front().w;
    s.tail_im = g[0];
    {
        const std::size_t k = std::min<std::size_t>(n, std::max<std::size_t>(3, n / 10));
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        std::size_t m = 0;
        for (std::size_t j = 0; j < k; ++j) {
            if (!(g[j] > 0.0)) continue;
            const double x = std::log(pts[j].w), y = std::log(g[j]);
            sx += x, sy += y, sxx += x * x, sxy += x * y, ++m;
        }
        const double den = m * sxx - sx * sx;
        s.tail_slope = (m >= 2 && den > 0) ? (m * sxy - sx * sy) / den : 0.0;
    }
    interruption_point();
    // Relaxations: local maxima of the smoothed -Im Z that are the largest
    // value within a quarter decade on either side.
    std::vector<double> gs(g);
    for (std::size_t j = 1; j + 1 < n; ++j) gs[j] = 0.25 * (g[j - 1] + 2 * g[j] + g[j + 1]);
    const double gmax = *std::max_element(gs.begin(), gs.end());
    const double lg_span = 0.25 * kLn10;
    interruption_point();
    std::vector<double> log_w(n);
    for (std::size_t k = 0; k < n; ++k) log_w[k] = std::log(pts[k].w);
    // The points within a quarter decade of point j form a contiguous run
    // [first, last] (the points are sorted) whose ends only move forward
    // with j; the largest smoothed value on either side of j then comes from
    // two sliding-window maxima, so the test costs O(1) per point rather
    // than a scan of the whole spectrum.
    auto in_window = [&](std::size_t k, double lw) { return !(std::fabs(log_w[k] - lw) > lg_span); };
    SlidingMax left_max(gs), right_max(gs);
    std::size_t first = 0, last = 0;
    for (std::size_t j = 1; j + 1 < n; ++j) {
        if (j % 4096 == 0) interruption_point();
        const double lw = log_w[j];
        while (!in_window(first, lw)) ++first;
        if (last < j) last = j;
        while (last + 1 < n && in_window(last + 1, lw)) ++last;
        // Not a maximum when a point of the window is larger, or equal and earlier.
        const bool is_max = (first == j || !(left_max(first, j - 1) >= gs[j])) &&
                            (last == j || !(right_max(j + 1, last) > gs[j]));
        if (!(gs[j] > 0.0) || gs[j] < 0.02 * gmax) continue;
        // a maximum on the window's edge region must be flanked on both sides
        if (!is_max || !(gs[j - 1] < gs[j] || gs[j + 1] < gs[j])) continue;
        // depression from the peak's width at about half a decade on each side
        double alpha_sum = 0.0;
        int sides = 0;
        for (int dir : {-1, 1}) {
            double best_d = 0.0;
            std::size_t best_k = j;
            for (std::size_t k = 0; k < n; ++k) {
                const double d = (log_w[k] - lw) / kLn10 * dir;
                if (d >= 0.3 && d <= 0.8 && std::fabs(d - 0.5) < std::fabs(best_d - 0.5)) best_d = d, best_k = k;
            }
            if (best_k == j || !(g[best_k] > 0.0)) continue;
            const double ratio = g[best_k] / std::max(gs[j], g[j]);
            if (ratio >= 1.0) continue;
            alpha_sum += alpha_from_ratio(ratio, best_d * kLn10);
            ++sides;
        }
        // both sides are widened by neighbours and tails; the narrower side is the better guess
        double alpha = sides ? alpha_sum / sides : 0.85;
        alpha = std::clamp(alpha + 0.05, 0.4, 1.0);
        const double h = std::max(gs[j], g[j]);
        s.relaxations.push_back({pts[j].w, arc_r_from_height(h, alpha), alpha});
    }
    std::sort(s.relaxations.begin(), s.relaxations.end(),
              [](const SpectrumShape::Relaxation& a, const SpectrumShape::Relaxation& b) { return a.omega > b.omega; });
    interruption_point();
    s.log_omega = std::move(log_w);
    s.re.reserve(n);
    for (const Point& p : pts) s.re.push_back(p.z.re);
    return s;
}

double SpectrumShape::re_at(double x) const {
    if (log_omega.empty()) return kNaN;
    if (x <= log_omega.front()) return re.front();
    if (x >= log_omega.back()) return re.back();
    const auto it = std::upper_bound(log_omega.begin(), log_omega.end(), x);
    const std::size_t k = static_cast<std::size_t>(it - log_omega.begin());
    const double x0 = log_omega[k - 1], x1 = log_omega[k];
    const double t = x1 > x0 ? (x - x0) / (x1 - x0) : 0.0;
    return re[k - 1] + t * (re[k] - re[k - 1]);
}

namespace {

using Relaxation = SpectrumShape::Relaxation;

// Elements that make an arc on their own (a relaxation with its own time
// constant). Every kind is listed, so that a new one is classified here.
bool is_arc_leaf(Kind k) {
    switch (k) {
        case Kind::K: case Kind::Zarc: case Kind::G: case Kind::Gs: case Kind::Ws: case Kind::T: return true;
        case Kind::R: case Kind::C: case Kind::L: case Kind::La: case Kind::Cpe: case Kind::W: case Kind::Wo:
        case Kind::Tlmq: case Kind::User:
            return false;
    }
    return false;
}

// Elements whose impedance is mostly reactive (capacitive or inductive).
bool is_reactive_leaf(Kind k) {
    switch (k) {
        case Kind::C: case Kind::Cpe: case Kind::L: case Kind::La: case Kind::Tlmq: return true;
        case Kind::R: case Kind::W: case Kind::Wo: case Kind::Ws: case Kind::G: case Kind::Gs: case Kind::K:
        case Kind::Zarc: case Kind::T: case Kind::User:
            return false;
    }
    return false;
}

bool branch_is_reactive(const NodeList& branch) {
    for (const Node& node : branch)
        if (!node.is_parallel() && is_reactive_leaf(node.element.kind)) return true;
    return false;
}

// A parallel group is an arc when it joins a resistive path with a reactive one.
bool group_is_arc(const Node& group) {
    bool reactive = false, resistive = false;
    for (const NodeList& b : group.branches) (branch_is_reactive(b) ? reactive : resistive) = true;
    return reactive && resistive;
}

// The structure of a subtree as text, so that arcs of the same kind can be
// told apart from different ones.
void signature(const NodeList& series, std::string& out) {
    for (const Node& node : series) {
        if (node.is_parallel()) {
            out += '(';
            for (const NodeList& b : node.branches) {
                signature(b, out);
                out += ',';
            }
            out += ')';
        } else {
            out += kind_info(node.element.kind).code;
            out += '-';
        }
    }
}

// Arc slots in walk order (the order in which the filler consumes them),
// with their signatures and whether they sit in the top-level series.
void collect_slots(const NodeList& series, std::vector<std::string>& sigs, bool top, std::vector<bool>& at_top) {
    for (const Node& node : series) {
        if (node.is_parallel()) {
            if (group_is_arc(node)) {
                std::string sig;
                signature(NodeList{node}, sig);
                sigs.push_back(sig);
                at_top.push_back(top);
            }
            for (const NodeList& b : node.branches) collect_slots(b, sigs, false, at_top);
        } else if (is_arc_leaf(node.element.kind)) {
            sigs.push_back(kind_info(node.element.kind).code);
            at_top.push_back(top);
        }
    }
}

bool has_diffusion_in_branch(const NodeList& series, bool in_group) {
    for (const Node& node : series) {
        if (node.is_parallel()) {
            for (const NodeList& b : node.branches)
                if (has_diffusion_in_branch(b, true)) return true;
        } else if (in_group && (node.element.kind == Kind::W || node.element.kind == Kind::Wo ||
                                node.element.kind == Kind::Ws)) {
            return true;
        }
    }
    return false;
}

bool has_finite_diffusion(const NodeList& series) {
    for (const Node& node : series) {
        if (node.is_parallel()) {
            for (const NodeList& b : node.branches)
                if (has_finite_diffusion(b)) return true;
        } else if (node.element.kind == Kind::Wo || node.element.kind == Kind::Ws) {
            return true;
        }
    }
    return false;
}

// Writes values for every leaf in parameter order.
class Filler {
public:
    // diffusion_k: 0 sizes diffusion elements inside arcs small; k > 0 sizes
    // them from the low-frequency tail, finite-length ones with tau = k / omega_lo;
    // k < 0 reads a finite-length Warburg from a capacitive tail (see open_diffusion).
    Filler(const SpectrumShape& s, const std::vector<Relaxation>& arcs, double diffusion_k, double r_hf)
        : s_(s), arcs_(arcs), tail_diffusion_(diffusion_k != 0.0), diffusion_k_(diffusion_k != 0.0 ? diffusion_k : 3.0),
          r_hf_(r_hf) {
        tail_present_ = s.tail_im > 0.0 && s.tail_slope < -0.05;
        tail_alpha_ = tail_present_ ? std::clamp(-s.tail_slope, 0.4, 1.0) : 0.9;
        // -Im Z of a Warburg is aw / sqrt(omega)
        aw_tail_ = tail_present_ ? s.tail_im * std::sqrt(s.tail_omega) : 0.1 * s.z_scale * std::sqrt(s.tail_omega);
    }

    std::vector<double> fill(const NodeList& circuit) {
        out_.clear();
        next_arc_ = 0;
        std::size_t n_r = 0;
        for (const Node& node : circuit)
            if (!node.is_parallel() && node.element.kind == Kind::R) ++n_r;
        top_r_ = std::max(r_hf_, 1e-9 * s_.z_scale) / std::max<std::size_t>(n_r, 1);
        series(circuit, Role::Top, Relaxation{}, 1);
        return out_;
    }

private:
    enum class Role { Top, Resistive, Reactive };

    Relaxation take_arc() {
        if (next_arc_ < arcs_.size()) return arcs_[next_arc_++];
        ++next_arc_;
        return {std::sqrt(s_.omega_lo * s_.omega_hi), 0.5 * s_.z_scale, 0.85};
    }

    void push(std::initializer_list<double> v) { out_.insert(out_.end(), v.begin(), v.end()); }

    // Low-frequency tail elements.
    void tail_leaf(const Element& e) {
        const double w = s_.tail_omega;
        const double im = tail_present_ ? s_.tail_im : 0.1 * s_.z_scale;
        switch (e.kind) {
            case Kind::C: push({1.0 / (w * im)}); break;
            case Kind::Cpe: {
                const double a = tail_alpha_;
                push({std::sin(a * kPi / 2) / (std::pow(w, a) * im), a});
                break;
            }
            case Kind::W: push({aw_tail_}); break;
            case Kind::Wo: {
                if (diffusion_k_ < 0.0) {
                    open_diffusion(0.0);
                    break;
                }
                const double tau = diffusion_k_ / w;
                push({finite_diffusion_z0(Kind::Wo, tau), tau});
                break;
            }
            case Kind::Tlmq: {
                const double a = tail_alpha_;
                push({3.0 * std::max(s_.r_lf - s_.r_hf, 0.1 * s_.z_scale), std::sin(a * kPi / 2) / (std::pow(w, a) * im),
                      a});
                break;
            }
            case Kind::R: case Kind::L: case Kind::La: case Kind::Ws: case Kind::G: case Kind::Gs: case Kind::K:
            case Kind::Zarc: case Kind::T: case Kind::User:  // a user kind starts from its defaults
                push_defaults(e);
                break;
        }
    }

    // z0 of a finite-length Warburg of time constant tau whose -Im Z at the
    // lowest frequency equals the tail's (the Warburg estimate when there is
    // no tail).
    double finite_diffusion_z0(Kind kind, double tau) const {
        const double w = s_.tail_omega;
        const double one[2] = {1.0, tau};
        const Cx unit = Element::impedance_of(kind, one, w);
        const double im = tail_present_ ? s_.tail_im : 0.1 * s_.z_scale;
        if (!(-unit.im > 0.0) || !std::isfinite(unit.im)) return aw_tail_ * std::sqrt(2.0 * tau);
        return im / -unit.im;
    }

    // A finite-length (open) Warburg whose low-frequency limit the tail shows:
    // Z -> z0/3 - j z0/(omega tau), so z0 = 3 x the real part left after the
    // series resistance and the arc, and tau = z0 x the tail's capacitance.
    void open_diffusion(double arc_r) {
        const double z0 = 3.0 * std::max(s_.r_lf - r_hf_ - arc_r, 0.05 * s_.z_scale);
        const double im = tail_present_ ? s_.tail_im : 0.1 * s_.z_scale;
        push({z0, z0 / (s_.tail_omega * im)});
    }

    void push_defaults(const Element& e) {
        for (double v : e.values()) out_.push_back(v);
    }

    void arc_leaf(const Element& e) {
        const Relaxation a = take_arc();
        const double tau = 1.0 / a.omega;
        switch (e.kind) {
            case Kind::K: push({a.r, tau}); break;
            case Kind::Zarc: push({a.r, tau, a.alpha}); break;
            case Kind::G: push({a.r, std::sqrt(3.0) * tau}); break;
            case Kind::Gs: push({a.r, std::sqrt(3.0) * tau, 2.0}); break;
            case Kind::Ws: push({a.r, 2.54 * tau}); break;
            case Kind::T: push({a.r / 2.16, a.r / 2.16, 1.0, tau}); break;
            case Kind::R: case Kind::C: case Kind::L: case Kind::La: case Kind::Cpe: case Kind::W: case Kind::Wo:
            case Kind::Tlmq: case Kind::User:
                push_defaults(e);
                break;
        }
    }

    void top_leaf(const Element& e) {
        const double w = s_.omega_hi;
        switch (e.kind) {
            case Kind::R: push({top_r_}); break;
            case Kind::L:
                push({s_.inductive ? s_.inductance : 1e-3 * std::max(s_.r_hf, 1e-3 * s_.z_scale) / w});
                break;
            case Kind::La: {
                const double a = 0.9;
                const double im = s_.inductive ? s_.inductance * w : 1e-3 * std::max(s_.r_hf, 1e-3 * s_.z_scale);
                push({std::pow(im / std::sin(a * kPi / 2), 1.0 / a) / w, a});
                break;
            }
            case Kind::C: case Kind::Cpe: case Kind::W: case Kind::Wo: case Kind::Ws: case Kind::G: case Kind::Gs:
            case Kind::K: case Kind::Zarc: case Kind::Tlmq: case Kind::T: case Kind::User:
                if (is_arc_leaf(e.kind)) arc_leaf(e);
                else tail_leaf(e);
                break;
        }
    }

    void resistive_leaf(const Element& e, const Relaxation& a, std::size_t n_r) {
        const double tau = 1.0 / a.omega;
        switch (e.kind) {
            case Kind::R: push({a.r / std::max<std::size_t>(n_r, 1)}); break;
            case Kind::W: push({tail_diffusion_ ? aw_tail_ : a.r * std::sqrt(a.omega) * 0.3}); break;
            case Kind::Wo:
                if (tail_diffusion_ && diffusion_k_ < 0.0) {
                    open_diffusion(a.r);
                } else if (tail_diffusion_) {
                    const double t = diffusion_k_ / s_.tail_omega;
                    push({finite_diffusion_z0(Kind::Wo, t), t});
                } else {
                    push({a.r, 30.0 * tau});
                }
                break;
            case Kind::C: case Kind::L: case Kind::La: case Kind::Cpe: case Kind::Ws: case Kind::G: case Kind::Gs:
            case Kind::K: case Kind::Zarc: case Kind::Tlmq: case Kind::T: case Kind::User:
                if (is_arc_leaf(e.kind)) arc_leaf(e);
                else if (e.kind == Kind::L) push({0.1 * a.r * tau});
                else push_defaults(e);
                break;
        }
    }

    void reactive_leaf(const Element& e, const Relaxation& a, std::size_t n_branches) {
        const double tau = 1.0 / a.omega;
        const double k = static_cast<double>(std::max<std::size_t>(n_branches, 1));
        switch (e.kind) {
            case Kind::C: push({tau / a.r / k}); break;
            case Kind::Cpe: push({std::pow(tau, a.alpha) / a.r / k, a.alpha}); break;
            case Kind::L: push({a.r * tau}); break;
            case Kind::La: push({tau * std::pow(a.r, 1.0 / 0.9), 0.9}); break;
            case Kind::Tlmq: push({a.r, std::pow(tau, a.alpha) / a.r / k, a.alpha}); break;
            case Kind::R: push({0.1 * a.r}); break;
            case Kind::W: push({0.1 * a.r * std::sqrt(a.omega)}); break;
            case Kind::Wo: case Kind::Ws: case Kind::G: case Kind::Gs: case Kind::K: case Kind::Zarc: case Kind::T:
            case Kind::User:
                if (is_arc_leaf(e.kind)) arc_leaf(e);
                else push_defaults(e);
                break;
        }
    }

    void group(const Node& node) {
        if (!group_is_arc(node)) {
            // resistors in parallel, or reactive elements in parallel: each
            // branch as if it stood alone in series
            for (const NodeList& b : node.branches) series(b, Role::Top, Relaxation{}, 1);
            return;
        }
        const Relaxation a = take_arc();
        std::size_t n_res = 0, n_rea = 0;
        for (const NodeList& b : node.branches) ++(branch_is_reactive(b) ? n_rea : n_res);
        for (const NodeList& b : node.branches) {
            if (branch_is_reactive(b)) {
                series(b, Role::Reactive, a, n_rea);
            } else {
                // parallel resistive branches share the arc's resistance
                Relaxation share = a;
                share.r = a.r * static_cast<double>(n_res);
                series(b, Role::Resistive, share, 1);
            }
        }
    }

    void series(const NodeList& list, Role role, const Relaxation& a, std::size_t n_branches) {
        std::size_t n_r = 0;
        for (const Node& node : list)
            if (!node.is_parallel() && node.element.kind == Kind::R) ++n_r;
        for (const Node& node : list) {
            if (node.is_parallel()) {
                group(node);
                continue;
            }
            switch (role) {
                case Role::Top: top_leaf(node.element); break;
                case Role::Resistive: resistive_leaf(node.element, a, n_r); break;
                case Role::Reactive: reactive_leaf(node.element, a, n_branches); break;
            }
        }
    }

    const SpectrumShape& s_;
    const std::vector<Relaxation>& arcs_;
    bool tail_diffusion_;
    double diffusion_k_;
    double r_hf_;
    bool tail_present_ = false;
    double tail_alpha_ = 0.9;
    double aw_tail_ = 0.0;
    double top_r_ = 0.0;
    std::size_t next_arc_ = 0;
    std::vector<double> out_;
};

// Sets of m relaxations (highest frequency first) to try on the circuit's
// arcs: the detected peaks, merged or thinned when there are too many, and
// completed when there are too few by splitting a peak, adding an arc
// beyond either end of the window or between two peaks, or spreading arcs
// evenly over the window.
std::vector<std::vector<Relaxation>> relaxation_sets(const SpectrumShape& s, std::size_t m) {
    std::vector<std::vector<Relaxation>> sets;
    if (m == 0) return {{}};
    auto by_freq = [](std::vector<Relaxation> v) {
        std::sort(v.begin(), v.end(), [](const Relaxation& a, const Relaxation& b) { return a.omega > b.omega; });
        return v;
    };
    auto add = [&](std::vector<Relaxation> v) {
        v = by_freq(std::move(v));
        for (const auto& other : sets) {
            bool same = other.size() == v.size();
            for (std::size_t i = 0; same && i < v.size(); ++i)
                same = std::fabs(std::log(other[i].omega / v[i].omega)) < 1e-6 && std::fabs(other[i].r / v[i].r - 1) < 1e-6;
            if (same) return;
        }
        sets.push_back(std::move(v));
    };
    const std::vector<Relaxation>& peaks = s.relaxations;
    double sum_r = 0.0;
    for (const Relaxation& p : peaks) sum_r += p.r;
    const double span_r = std::max(s.r_lf - s.r_hf, 0.05 * s.z_scale);
    const double residual = std::max(span_r - sum_r, 0.2 * (peaks.empty() ? span_r : sum_r / peaks.size()));
    // arcs spread evenly over the window, sharing the low-frequency resistance
    auto spread = [&](std::size_t k) {
        std::vector<Relaxation> v;
        const double a = std::log(s.omega_lo), b = std::log(s.omega_hi);
        for (std::size_t i = 0; i < k; ++i) {
            const double t = (i + 0.5) / static_cast<double>(k);
            v.push_back({std::exp(b - t * (b - a)), span_r / k, 0.85});
        }
        return v;
    };
    if (peaks.size() >= m) {
        // the m largest
        std::vector<Relaxation> v(peaks);
        std::stable_sort(v.begin(), v.end(), [](const Relaxation& a, const Relaxation& b) { return a.r > b.r; });
        v.resize(m);
        add(v);
        // neighbours merged until m remain
        std::vector<Relaxation> merged = peaks;
        while (merged.size() > m) {
            std::size_t best = 0;
            double gap = std::numeric_limits<double>::infinity();
            for (std::size_t i = 0; i + 1 < merged.size(); ++i) {
                const double d = std::log(merged[i].omega / merged[i + 1].omega);
                if (d < gap) gap = d, best = i;
            }
            Relaxation& a = merged[best];
            const Relaxation& b = merged[best + 1];
            const double wr = a.r / (a.r + b.r);
            a = {std::exp(wr * std::log(a.omega) + (1 - wr) * std::log(b.omega)), a.r + b.r,
                 std::min(a.alpha, b.alpha) * 0.9};
            merged.erase(merged.begin() + static_cast<std::ptrdiff_t>(best) + 1);
        }
        add(merged);
        add(std::vector<Relaxation>(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(m)));
        add(std::vector<Relaxation>(peaks.end() - static_cast<std::ptrdiff_t>(m), peaks.end()));
        return sets;
    }
    // too few peaks: extend step by step
    std::vector<std::vector<Relaxation>> level{peaks};
    for (std::size_t d = peaks.size(); d < m; ++d) {
        std::vector<std::vector<Relaxation>> next;
        for (const auto& base : level) {
            double lowest = s.omega_lo, highest = s.omega_hi;
            for (const Relaxation& r : base) lowest = std::min(lowest, r.omega), highest = std::max(highest, r.omega);
            auto with = [&](Relaxation extra) {
                auto v = base;
                v.push_back(extra);
                next.push_back(by_freq(std::move(v)));
            };
            // split the largest arc into two half a decade apart
            if (!base.empty()) {
                std::size_t big = 0;
                for (std::size_t i = 1; i < base.size(); ++i)
                    if (base[i].r > base[big].r) big = i;
                auto v = base;
                const Relaxation b = v[big];
                v[big] = {b.omega * 2.5, 0.5 * b.r, std::min(1.0, b.alpha + 0.1)};
                v.push_back({b.omega / 2.5, 0.5 * b.r, std::min(1.0, b.alpha + 0.1)});
                next.push_back(by_freq(std::move(v)));
            }
            with({lowest / 3.0, residual, 0.8});
            with({highest * 3.0, 0.3 * std::max(s.r_hf, 0.05 * s.z_scale), 0.8});
            for (std::size_t i = 0; i + 1 < base.size(); ++i)
                with({std::sqrt(base[i].omega * base[i + 1].omega), 0.3 * std::min(base[i].r, base[i + 1].r), 0.8});
        }
        if (next.size() > 12) next.resize(12);
        level = std::move(next);
    }
    for (auto& v : level) add(v);
    add(spread(m));
    return sets;
}

// Arcs on a grid of half-decade positions over the window, each sized by
// the drop of Re Z across it (a poor man's distribution of relaxation
// times): every combination of m positions at least a decade apart, thinned
// evenly to at most `limit` sets.
std::vector<std::vector<Relaxation>> grid_sets(const SpectrumShape& s, std::size_t m, std::size_t limit) {
    std::vector<std::vector<Relaxation>> out;
    if (m == 0 || m > 4) return out;
    const double a = std::log(s.omega_lo), b = std::log(s.omega_hi);
    const double step = 0.5 * kLn10;
    std::vector<Relaxation> grid;
    for (double x = b - 0.25 * kLn10; x > a; x -= step) {
        const double drop = s.re_at(x - step) - s.re_at(x + step);
        grid.push_back({std::exp(x), std::max(drop, 0.02 * s.z_scale), 0.8});
    }
    if (grid.size() < m) return out;
    std::vector<std::size_t> idx(m);
    std::vector<std::vector<Relaxation>> all;
    // combinations in lexicographic order
    for (std::size_t i = 0; i < m; ++i) idx[i] = i;
    while (true) {
        bool spaced = true;
        for (std::size_t i = 0; i + 1 < m; ++i)
            if (idx[i + 1] - idx[i] < 2) spaced = false;
        if (spaced) {
            std::vector<Relaxation> v;
            for (std::size_t i : idx) v.push_back(grid[i]);
            all.push_back(std::move(v));
        }
        std::size_t i = m;
        while (i > 0 && idx[i - 1] == grid.size() - m + i - 1) --i;
        if (i == 0) break;
        ++idx[i - 1];
        for (std::size_t j = i; j < m; ++j) idx[j] = idx[j - 1] + 1;
    }
    if (all.size() <= limit) return all;
    for (std::size_t k = 0; k < limit; ++k) out.push_back(all[k * all.size() / limit]);
    return out;
}

// Assignments of a relaxation set (index i = i-th highest frequency) to the
// circuit's arc slots: every permutation when there are at most five arcs,
// keeping within each group of identical top-level arcs only the
// highest-frequency-first order (the others give the same impedance).
std::vector<std::vector<std::size_t>> assignments(const std::vector<std::string>& sigs, const std::vector<bool>& at_top) {
    const std::size_t m = sigs.size();
    std::vector<std::size_t> perm(m);
    std::iota(perm.begin(), perm.end(), 0);
    if (m > 5) return {perm};
    std::vector<std::vector<std::size_t>> out;
    do {
        bool keep = true;
        for (std::size_t i = 0; i < m && keep; ++i)
            for (std::size_t j = i + 1; j < m && keep; ++j)
                if (at_top[i] && at_top[j] && sigs[i] == sigs[j] && perm[i] > perm[j]) keep = false;
        if (keep) out.push_back(perm);
    } while (std::next_permutation(perm.begin(), perm.end()));
    return out;
}

// Clamps a vector into the circuit's bounds, keeping finite-bounded values
// a little inside their box and open-bound ones above 100 times their
// lower bound; non-finite values take the circuit's own.
void sanitise(std::vector<double>& v, const std::vector<Bounds>& bounds, const std::vector<double>& fallback) {
    for (std::size_t i = 0; i < v.size() && i < bounds.size(); ++i) {
        const Bounds b = bounds[i];
        if (!std::isfinite(v[i])) v[i] = fallback[i];
        if (std::isfinite(b.hi)) {
            const double margin = 1e-3 * (b.hi - b.lo);
            v[i] = std::clamp(v[i], b.lo + margin, b.hi - margin);
        } else {
            v[i] = std::max(v[i], 100.0 * b.lo > 0 ? 100.0 * b.lo : b.lo);
        }
    }
}

}  // namespace

// The most points the candidates are costed on (see estimate_start).
constexpr std::size_t kEstimatePoints = 2048;

StartEstimate estimate_start(const NodeList& circuit, const std::vector<double>& freqs_hz,
                             const std::vector<Cx>& impedances, Weighting weighting) {
    StartEstimate result;
    result.values = param_values(circuit);
    const std::vector<Bounds> bounds = param_bounds(circuit);
    const std::size_t n_params = result.values.size();
    if (n_params == 0) return result;

    // the points the cost is measured on (finite, positive frequency)
    std::vector<double> omegas;
    std::vector<Cx> zs;
    omegas.reserve(std::min(freqs_hz.size(), impedances.size()));
    zs.reserve(omegas.capacity());
    for (std::size_t j = 0; j < std::min(freqs_hz.size(), impedances.size()); ++j) {
        if (j % 65536 == 0) interruption_point();
        if (std::isfinite(freqs_hz[j]) && freqs_hz[j] > 0 && std::isfinite(impedances[j].re) &&
            std::isfinite(impedances[j].im)) {
            omegas.push_back(kTwoPi * freqs_hz[j]);
            zs.push_back(impedances[j]);
        }
    }
    interruption_point();
    std::vector<double> weights = compute_weights(zs, weighting);
    // Candidates are costed and refined on at most kEstimatePoints points:
    // a long spectrum is thinned to every k-th point (its shape is read from
    // all points below). Starting values need no more, and the estimate then
    // costs far less than the fit on long spectra; spectra of ordinary length
    // are used whole.
    if (omegas.size() > kEstimatePoints) {
        const std::size_t stride = (omegas.size() + kEstimatePoints - 1) / kEstimatePoints;
        std::size_t kept = 0;
        for (std::size_t j = 0; j < omegas.size(); j += stride, ++kept) {
            omegas[kept] = omegas[j];
            zs[kept] = zs[j];
            weights[kept] = weights[j];
        }
        omegas.resize(kept);
        zs.resize(kept);
        weights.resize(kept);
    }
    const Measurement data{omegas, zs, weights};
    EvalCounter counter{0};
    // Compiled once: every candidate's cost and every refinement run below
    // evaluate through it.
    FitEvaluator evaluator(circuit, data);
    std::vector<double> r;
    auto cost_of = [&](const std::vector<double>& p) {
        if (!evaluator.residuals(p, counter, r)) return std::numeric_limits<double>::infinity();
        const double c = half_sum_of_squares(r);
        return std::isfinite(c) ? c : std::numeric_limits<double>::infinity();
    };

    interruption_point();
    const SpectrumShape shape = analyse_spectrum(freqs_hz, impedances);
    if (!shape.usable) {
        result.cost = cost_of(result.values);
        return result;
    }
    std::vector<std::string> sigs;
    std::vector<bool> at_top;
    collect_slots(circuit, sigs, true, at_top);
    const std::size_t m = sigs.size();
    auto sets = relaxation_sets(shape, m);
    for (auto& g : grid_sets(shape, m, 30)) sets.push_back(std::move(g));
    const auto perms = assignments(sigs, at_top);
    std::vector<double> diffusion_variants{3.0};
    if (has_diffusion_in_branch(circuit, false)) diffusion_variants.push_back(0.0);
    if (has_finite_diffusion(circuit)) {
        diffusion_variants.push_back(0.3);
        diffusion_variants.push_back(30.0);
        diffusion_variants.push_back(-1.0);
    }

    std::vector<double> intercepts{shape.r_hf};
    if (shape.r_hf_min < 0.8 * shape.r_hf) intercepts.push_back(shape.r_hf_min);
    // Every assignment of every relaxation set to the circuit, costed, cheapest first.
    auto build = [&](const std::vector<std::vector<Relaxation>>& relaxation_sets) {
        std::vector<Candidate> out;
        std::vector<Relaxation> arcs(m);
        for (const auto& set : relaxation_sets) {
            for (const auto& perm : perms) {
                for (std::size_t i = 0; i < m; ++i) arcs[i] = set[perm[i]];
                for (double diffusion : diffusion_variants) {
                    for (double r_hf : intercepts) {
                        Filler filler(shape, arcs, diffusion, r_hf);
                        std::vector<double> v = filler.fill(circuit);
                        v.resize(n_params, kNaN);
                        sanitise(v, bounds, result.values);
                        out.push_back({cost_of(v), std::move(v)});
                    }
                }
            }
        }
        result.candidates += out.size();
        sort_candidates(out);
        return out;
    };
    std::vector<Candidate> candidates = build(sets);

    // Refine the cheapest few by short local runs and keep the best result
    // whose values stay within reach of their start.
    std::vector<double> best = candidates.front().params;
    double best_cost = candidates.front().cost;
    // Large circuits get fewer and shorter runs: the Jacobian alone costs
    // 2 x n_params evaluations.
    const bool large = n_params > 12;
    const LmSettings settings{1e-6, 1e-6, 1e-8, large ? 10u : 40u};
    const std::vector<bool> held(n_params, false);
    // A refined candidate replaces the best one when its cost is below
    // `factor` x the best cost.
    auto refine_into = [&](const std::vector<Candidate>& list, std::size_t most, double factor) {
        const std::size_t refine = std::min<std::size_t>(list.size(), most);
        for (std::size_t k = 0; k < refine; ++k) {
            const Candidate& c = list[k];
            if (k > 0 && !(c.cost < 10.0 * list.front().cost)) break;
            auto run = levenberg_marquardt_single_start(evaluator, bounds, internal_from_physical(c.params, bounds), held,
                                                        settings, counter);
            if (!run) continue;
            std::vector<double> p = run->params;
            bool sane = p.size() == n_params;
            for (std::size_t i = 0; sane && i < n_params; ++i) {
                if (!std::isfinite(p[i])) sane = false;
                else if (!std::isfinite(bounds[i].hi)) {
                    const double q = p[i] / c.params[i];
                    sane = q > 1e-6 && q < 1e6;
                }
            }
            if (!sane) continue;
            sanitise(p, bounds, c.params);
            const double cost = cost_of(p);
            if (cost < factor * best_cost) best_cost = cost, best = std::move(p);
        }
    };
    refine_into(candidates, large ? (n_params > 20 ? 1 : 2) : 5, 1.0);
    // Two or more arcs: the same candidates with the arcs the DRT shows in
    // place of the peaks of -Im Z (which merge arcs less than about 1.5
    // decades apart, and which noise can split), the cheapest two refined
    // the same way; kept only when at least 10 % cheaper. (Where the DRT's
    // arcs find another basin they lower the cost by a third or more on
    // synthetic overlapping arcs; on measured spectra they won by under
    // 1 % in three of 52 pairs, and in one of those the fit from the lower
    // start then ended 0.1 % higher.)
    if (m >= 2 && m <= 5) {
        SpectrumShape from_drt = shape;
        from_drt.relaxations = drt_relaxations(freqs_hz, impedances);
        if (!from_drt.relaxations.empty()) refine_into(build(relaxation_sets(from_drt, m)), large ? 1 : 2, 0.9);
    }
    result.values = std::move(best);
    result.cost = best_cost;
    return result;
}

}  // namespace velotz
