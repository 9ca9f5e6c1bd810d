// Heap allocations of the steady state: once a thread has made one fit, its
// further default fits allocate only the blocks of the result they return,
// and the per-thread reuse behind that gives the results of a fresh thread
// bit for bit.
//
// The test binary replaces the global operator new and delete with versions
// that count, per thread, every allocation made while a count is open.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fit/batch.hpp"
#include "fit/fit.hpp"
#include "fit/lm_fit.hpp"
#include "start/registry.hpp"
#include "start/start.hpp"

namespace {

thread_local std::size_t t_allocations = 0;

void* counted_alloc(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* counted_aligned_alloc(std::size_t size, std::align_val_t align) {
    ++t_allocations;
    const std::size_t a = static_cast<std::size_t>(align);
    void* p = nullptr;
    if (posix_memalign(&p, a < sizeof(void*) ? sizeof(void*) : a, size == 0 ? 1 : size) != 0) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++t_allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    ++t_allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t align) { return counted_aligned_alloc(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return counted_aligned_alloc(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace velotz {
namespace {

// Allocations the calling thread makes while f runs.
template <class F>
std::size_t allocations_of(F&& f) {
    const std::size_t before = t_allocations;
    f();
    return t_allocations - before;
}

// The heap blocks an outcome owns: the allocations of copying it.
std::size_t blocks_of(const FitOutcome& outcome) {
    std::optional<FitOutcome> copy;
    return allocations_of([&] { copy.emplace(outcome); });
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same(const FitOutcome& a, const FitOutcome& b) {
    ASSERT_EQ(a.params.size(), b.params.size());
    for (std::size_t k = 0; k < a.params.size(); ++k) EXPECT_TRUE(same_bits(a.params[k], b.params[k])) << k;
    EXPECT_TRUE(same_bits(a.cost, b.cost));
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_EQ(a.impedance_evals, b.impedance_evals);
    EXPECT_EQ(a.success, b.success);
    ASSERT_EQ(a.std_errors.has_value(), b.std_errors.has_value());
    if (a.std_errors) {
        for (std::size_t k = 0; k < a.std_errors->size(); ++k) {
            EXPECT_TRUE(same_bits((*a.std_errors)[k], (*b.std_errors)[k])) << k;
        }
    }
    ASSERT_TRUE(a.residuals && b.residuals);
    ASSERT_EQ(a.residuals->size(), b.residuals->size());
    for (std::size_t k = 0; k < a.residuals->size(); ++k) {
        EXPECT_TRUE(same_bits((*a.residuals)[k], (*b.residuals)[k])) << k;
    }
    EXPECT_EQ(a.names, b.names);
    EXPECT_EQ(a.std_error_names, b.std_error_names);
}

struct Case {
    const char* name;
    const char* text;
    std::vector<double> truth;  // the spectrum's values
    std::vector<double> start;  // the fit's starting values
    std::size_t points;
};

const Case kCases[] = {
    {"rq", "R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 0.85}, {25.0, 40.0, 2.5e-5, 0.75}, 60},
    {"randles", "R0-(R1-W1,CPE1)", {10.0, 100.0, 50.0, 1e-5, 0.9}, {25.0, 40.0, 125.0, 4e-6, 0.8}, 60},
    {"sei_randles_wo",
     "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
     {10.0, 30.0, 1e-6, 0.9, 100.0, 40.0, 20.0, 1e-4, 0.85},
     {25.0, 12.0, 2.5e-6, 0.8, 250.0, 16.0, 50.0, 4e-5, 0.75},
     60},
    // Other labels and a spectrum length that is not a multiple of the vector width.
    {"labelled", "R5-(R7,CPE3)", {5.0, 80.0, 2e-5, 0.8}, {12.5, 32.0, 5e-5, 0.7}, 37},
};

NodeList tree_of(const Case& c, const std::vector<double>& values) {
    auto parsed = parse(c.text);
    EXPECT_TRUE(parsed.has_value()) << c.text;
    return rebuild(*parsed, values);
}

// The circuit's spectrum at `truth` from 10 mHz to 100 kHz, disturbed by a
// deterministic ±1 % (`phase` shifts the disturbance: another spectrum of the
// same shape).
FitRequest request_for(const Case& c, double phase = 0.0) {
    FitRequest r;
    r.circuit = tree_of(c, c.start);
    const NodeList exact = tree_of(c, c.truth);
    for (std::size_t k = 0; k < c.points; ++k) {
        const double f = std::pow(10.0, -2.0 + 7.0 * static_cast<double>(k) / static_cast<double>(c.points - 1));
        const Cx z = impedance(exact, kTwoPi * f);
        const double d = 1.0 + 0.01 * std::sin(3.0 * static_cast<double>(k) + phase);
        r.frequencies.push_back(f);
        r.impedances.push_back({z.re * d, z.im * (2.0 - d)});
    }
    return r;
}

// The fit of `request` on a thread of its own: nothing kept from earlier fits.
FitOutcome fresh_fit(const FitRequest& request) {
    std::optional<FitResultOr> result;
    std::thread([&] { result.emplace(fit_dispatch(request)); }).join();
    EXPECT_TRUE(result && result->has_value());
    return **result;
}

class SteadyState : public ::testing::TestWithParam<Case> {};

TEST_P(SteadyState, DefaultFitsAfterTheFirstAllocateOnlyTheirResult) {
    const FitRequest request = request_for(GetParam());
    std::thread([&] {
        ASSERT_TRUE(fit_dispatch(request).has_value());  // sizes this thread's arrays
        for (int repeat = 0; repeat < 4; ++repeat) {
            std::optional<FitResultOr> result;
            const std::size_t made = allocations_of([&] { result.emplace(fit_dispatch(request)); });
            ASSERT_TRUE(result->has_value());
            const std::size_t own = blocks_of(**result);
            EXPECT_GT(own, 0u);  // the counter sees the result's blocks
            EXPECT_EQ(made, own) << GetParam().name << " repeat " << repeat;
        }
    }).join();
}

TEST_P(SteadyState, FitOfACompiledModelAllocatesOnlyItsResult) {
    const FitRequest request = request_for(GetParam());
    FitProblem problem(request_model(request), request.frequencies, request.impedances, request.weighting);
    const LmSettings settings{1e-8, 1e-8, 1e-8, 200};
    ASSERT_TRUE(levenberg_marquardt_fit(problem.model, problem.evaluator, settings).has_value());
    for (int repeat = 0; repeat < 3; ++repeat) {
        std::optional<FitResultOr> result;
        const std::size_t made =
            allocations_of([&] { result.emplace(levenberg_marquardt_fit(problem.model, problem.evaluator, settings)); });
        ASSERT_TRUE(result->has_value());
        EXPECT_EQ(made, blocks_of(**result)) << GetParam().name;
    }
}

TEST_P(SteadyState, ReusedArraysGiveTheResultsOfAFreshThread) {
    // One thread fits this case, another shape and this case again on a
    // second spectrum, so that everything kept from the fits before is of
    // the wrong size or holds other values; each result must equal that of
    // a thread that never fitted before.
    const Case& c = GetParam();
    const Case& other = kCases[(&c - kCases + 1) % std::size(kCases)];
    const std::vector<FitRequest> requests = {request_for(c), request_for(other), request_for(c, 1.3),
                                              request_for(c)};
    std::vector<FitOutcome> warm;
    std::thread([&] {
        for (const FitRequest& r : requests) {
            auto result = fit_dispatch(r);
            ASSERT_TRUE(result.has_value());
            warm.push_back(std::move(*result));
        }
    }).join();
    ASSERT_EQ(warm.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        expect_same(warm[i], fresh_fit(requests[i]));
    }
}

INSTANTIATE_TEST_SUITE_P(Circuits, SteadyState, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SteadyState, FixedParametersAndBoundsKeepTheirResults) {
    // A mask moves the reused model between constrained and plain trees of
    // one shape: each fit must still equal a fresh thread's.
    FitRequest plain = request_for(kCases[0]);
    FitRequest fixed = plain;
    auto mask = std::make_shared<ParamMask>();
    mask->fixed.assign(4, false);
    mask->bounds.assign(4, std::nullopt);
    mask->fixed[0] = true;
    mask->bounds[3] = Bounds{0.5, 0.95};
    fixed.mask = mask;
    std::vector<FitOutcome> warm;
    std::thread([&] {
        for (const FitRequest* r : {&plain, &fixed, &plain}) {
            auto result = fit_dispatch(*r);
            ASSERT_TRUE(result.has_value());
            warm.push_back(std::move(*result));
        }
    }).join();
    ASSERT_EQ(warm.size(), 3u);
    expect_same(warm[0], fresh_fit(plain));
    expect_same(warm[1], fresh_fit(fixed));
    expect_same(warm[2], fresh_fit(plain));
    EXPECT_EQ(warm[1].params[0], plain.circuit[0].element.v[0]);  // held at its value
}

TEST(SteadyState, ALongSpectrumsArraysAreGivenBack) {
    // After a fit of a long spectrum the thread keeps no arrays of its size:
    // the next short fit sizes its arrays anew (so allocates more than its
    // result) and gives the results of a fresh thread.
    Case long_case = kCases[0];
    long_case.points = 9000;
    const FitRequest small = request_for(kCases[0]);
    const FitRequest large = request_for(long_case);
    std::thread([&] {
        ASSERT_TRUE(fit_dispatch(small).has_value());
        ASSERT_TRUE(fit_dispatch(large).has_value());
        std::optional<FitResultOr> result;
        const std::size_t made = allocations_of([&] { result.emplace(fit_dispatch(small)); });
        ASSERT_TRUE(result->has_value());
        EXPECT_GT(made, blocks_of(**result));
        expect_same(**result, fresh_fit(small));
    }).join();
}

BatchSpectrum batch_item(const FitRequest& r) {
    BatchSpectrum s;
    s.frequencies = r.frequencies;
    s.impedances = r.impedances;
    return s;
}

TEST_P(SteadyState, BatchTaskAfterTheFirstAllocatesOnlyItsSlot) {
    // A batch of one spectrum runs on the calling thread, where the count
    // sees it: the slots' array and the outcome's blocks, nothing else.
    const FitRequest request = request_for(GetParam());
    const std::vector<BatchSpectrum> first = {batch_item(request)};
    const std::vector<BatchSpectrum> second = {batch_item(request_for(GetParam(), 0.7))};
    std::thread([&] {
        BatchControl warm;
        ASSERT_EQ(fit_batch(request, first, nullptr, warm)[0].status, BatchStatus::Done);
        for (const auto* spectra : {&first, &second}) {
            BatchControl control;
            std::vector<BatchSlot> slots;
            const std::size_t made = allocations_of([&] { slots = fit_batch(request, *spectra, nullptr, control); });
            ASSERT_EQ(slots.size(), 1u);
            ASSERT_EQ(slots[0].status, BatchStatus::Done);
            EXPECT_EQ(made, 1 + blocks_of(*slots[0].outcome)) << GetParam().name;
        }
    }).join();
}

TEST(SteadyState, BatchAfterAnotherShapeEqualsAFreshFit) {
    // The kept request of a thread's batch tasks held another tree and
    // spectrum before: the result must be that of a fresh thread.
    const FitRequest a = request_for(kCases[2]);
    const FitRequest b = request_for(kCases[3], 0.4);
    std::vector<BatchSlot> slots;
    std::thread([&] {
        BatchControl c1, c2;
        ASSERT_EQ(fit_batch(a, {batch_item(a)}, nullptr, c1)[0].status, BatchStatus::Done);
        slots = fit_batch(b, {batch_item(b)}, nullptr, c2);
    }).join();
    ASSERT_EQ(slots.size(), 1u);
    ASSERT_EQ(slots[0].status, BatchStatus::Done);
    expect_same(*slots[0].outcome, fresh_fit(b));
}

// A global method with a short and a long search (seeded).
struct Search {
    const char* method;
    void (*set_length)(FitRequest&, bool long_search);
};

const Search kSearches[] = {
    {"particle_swarm", [](FitRequest& r, bool l) { r.num_particles = 12; r.generations = l ? 60 : 10; }},
    {"nelder_mead", [](FitRequest& r, bool l) { r.nelder_mead_iterations = l ? 120 : 20; }},
    {"simulated_annealing", [](FitRequest& r, bool l) { r.sa_iterations = l ? 600 : 100; }},
};

class GlobalSearch : public ::testing::TestWithParam<Search> {};

TEST_P(GlobalSearch, AllocationsDoNotGrowWithTheLengthOfTheSearch) {
    // Beyond its result's blocks a search allocates the same whatever its
    // length: nothing per iteration or evaluation.
    FitRequest short_run = request_for(kCases[0]);
    short_run.method = GetParam().method;
    short_run.seed = 7;
    FitRequest long_run = short_run;
    GetParam().set_length(short_run, false);
    GetParam().set_length(long_run, true);
    std::thread([&] {
        ASSERT_TRUE(fit_dispatch(short_run).has_value());
        std::size_t extra[2] = {0, 0};
        std::uint64_t evaluations[2] = {0, 0};
        for (int l = 0; l < 2; ++l) {
            std::optional<FitResultOr> result;
            const std::size_t made =
                allocations_of([&] { result.emplace(fit_dispatch(l == 0 ? short_run : long_run)); });
            ASSERT_TRUE(result->has_value());
            extra[l] = made - blocks_of(**result);
            evaluations[l] = (*result)->impedance_evals;
        }
        EXPECT_LT(evaluations[0], evaluations[1]);
        EXPECT_EQ(extra[0], extra[1]) << GetParam().method;
    }).join();
}

INSTANTIATE_TEST_SUITE_P(Methods, GlobalSearch, ::testing::ValuesIn(kSearches),
                         [](const auto& info) { return std::string(info.param.method); });

// Trees for the topology lookup: shipped networks' shapes in other orders
// and labels, one reached through its expanded form (K), one without a
// network.
const char* const kTopologies[] = {"R0-(R1,CPE1)", "(CPE4,R2)-R9", "R0-(R1-W1,CPE1)", "R0-K1",
                                   "R0-(R1,CPE1)-(R2-Wo2,CPE2)", "L0-(R1-W1,C1)-(R2,C2)-(R3,C3)-W4"};

void expect_same_match(const std::optional<RegistryMatch>& a, const std::optional<RegistryMatch>& b) {
    ASSERT_EQ(a.has_value(), b.has_value());
    if (!a) return;
    EXPECT_EQ(a->model_index, b->model_index);
    EXPECT_EQ(a->match.mapping, b->match.mapping);
    EXPECT_EQ(a->match.expanded, b->match.expanded);
}

class TopologyLookup : public ::testing::TestWithParam<const char*> {};

TEST_P(TopologyLookup, KeptAnswerEqualsAFreshMatchAndCostsNoAllocation) {
    auto tree = parse(GetParam());
    ASSERT_TRUE(tree.has_value()) << GetParam();
    // Another tree first, so that the kept answer is of another shape.
    auto other = parse(kTopologies[0] == std::string(GetParam()) ? kTopologies[2] : kTopologies[0]);
    ASSERT_TRUE(other.has_value());
    expect_same_match(find_for_topology_cached(*other), find_for_topology(*other));
    expect_same_match(find_for_topology_cached(*tree), find_for_topology(*tree));
    // The same shape with other values: answered from what is kept.
    std::vector<double> values = param_values(*tree);
    for (double& v : values) v *= 1.5;
    const NodeList moved = rebuild(*tree, values);
    const std::optional<RegistryMatch>* kept = nullptr;
    EXPECT_EQ(allocations_of([&] { kept = &find_for_topology_cached(moved); }), 0u);
    expect_same_match(*kept, find_for_topology(moved));
}

INSTANTIATE_TEST_SUITE_P(Shapes, TopologyLookup, ::testing::ValuesIn(kTopologies));

}  // namespace
}  // namespace velotz
