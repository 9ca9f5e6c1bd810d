// The batch fit: per-spectrum results equal single fits bit for bit, input
// order, errors in their own slots, the stop flag, and the caller's poll.
#include "fit/batch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "util/pool.hpp"

namespace velotz {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Spectrum of R0-(R1,C1) written out: R0 + R1 / (1 + j w R1 C1), with a
// small deterministic disturbance so that no fit starts at its optimum.
BatchSpectrum rc_spectrum(double r0, double r1, double c1, int points) {
    BatchSpectrum s;
    for (int k = 0; k < points; ++k) {
        const double f = std::pow(10.0, 5.0 - 6.0 * k / (points - 1));
        const double w = 2 * M_PI * f;
        std::complex<double> z = r0 + r1 / (1.0 + std::complex<double>(0, w * r1 * c1));
        z *= 1.0 + 0.01 * std::sin(3.0 * k);
        s.frequencies.push_back(f);
        s.impedances.push_back({z.real(), z.imag()});
    }
    return s;
}

FitRequest base_request(const char* method) {
    FitRequest r;
    r.method = method;
    r.circuit = *parse("R0-(R1,C1)");
    r.num_particles = 20;
    r.generations = 30;
    return r;
}

std::vector<BatchSpectrum> some_spectra(std::size_t n) {
    std::vector<BatchSpectrum> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(rc_spectrum(5.0 + i, 50.0 + 7.0 * i, 1e-5 * (1 + i % 3), 25));
    return out;
}

void expect_same(const FitOutcome& a, const FitOutcome& b) {
    ASSERT_EQ(a.params.size(), b.params.size());
    for (std::size_t k = 0; k < a.params.size(); ++k) EXPECT_TRUE(same_bits(a.params[k], b.params[k])) << k;
    EXPECT_TRUE(same_bits(a.cost, b.cost));
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_EQ(a.impedance_evals, b.impedance_evals);
    EXPECT_EQ(a.success, b.success);
}

class BatchMethods : public ::testing::TestWithParam<const char*> {};

TEST_P(BatchMethods, EachSlotEqualsASingleFitOfItsSpectrum) {
    FitRequest request = base_request(GetParam());
    request.seed = 42;
    const auto spectra = some_spectra(6);
    BatchControl control;
    const auto slots = fit_batch(request, spectra, nullptr, control);
    ASSERT_EQ(slots.size(), spectra.size());
    EXPECT_EQ(control.finished.load(), spectra.size());
    for (std::size_t i = 0; i < spectra.size(); ++i) {
        FitRequest single = request;
        single.frequencies = spectra[i].frequencies;
        single.impedances = spectra[i].impedances;
        const auto expected = fit_dispatch(single);
        ASSERT_TRUE(expected.has_value());
        ASSERT_EQ(slots[i].status, BatchStatus::Done) << i;
        expect_same(*slots[i].outcome, *expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeded, BatchMethods,
                         ::testing::Values("levenberg_marquardt", "particle_swarm", "nelder_mead"));

TEST(Batch, PerSpectrumSeedReplacesTheBatchSeed) {
    FitRequest request = base_request("particle_swarm");
    request.seed = 1;
    auto spectra = some_spectra(2);
    spectra[1] = spectra[0];
    spectra[1].own_seed = true;
    spectra[1].seed = 7;
    BatchControl control;
    const auto slots = fit_batch(request, spectra, nullptr, control);
    FitRequest single = request;
    single.seed = 7;
    single.frequencies = spectra[0].frequencies;
    single.impedances = spectra[0].impedances;
    expect_same(*slots[1].outcome, *fit_dispatch(single));
    single.seed = 1;
    expect_same(*slots[0].outcome, *fit_dispatch(single));
}

TEST(Batch, FailuresStayInTheirSlots) {
    FitRequest request = base_request("levenberg_marquardt");
    auto spectra = some_spectra(4);
    spectra[1].frequencies.clear();
    spectra[1].impedances.clear();
    spectra[2].impedances.pop_back();
    // Input errors of the fit land in their slots, with or without a start.
    BatchStart start = [&](const std::vector<double>&, const std::vector<Cx>&) -> std::expected<NodeList, std::string> {
        return request.circuit;
    };
    BatchControl control;
    auto slots = fit_batch(request, spectra, start, control);
    EXPECT_EQ(slots[0].status, BatchStatus::Done);
    EXPECT_EQ(slots[1].status, BatchStatus::Failed);
    EXPECT_EQ(slots[1].error, "frequencies and impedances must not be empty");
    EXPECT_EQ(slots[2].status, BatchStatus::Failed);
    EXPECT_EQ(slots[2].error, "frequencies and impedances must have the same length");
    EXPECT_EQ(slots[3].status, BatchStatus::Done);

    BatchStart refuse = [](const std::vector<double>&, const std::vector<Cx>&) -> std::expected<NodeList, std::string> {
        return std::unexpected(std::string("no network"));
    };
    BatchControl again;
    slots = fit_batch(request, some_spectra(2), refuse, again);
    for (const auto& s : slots) {
        EXPECT_EQ(s.status, BatchStatus::Failed);
        EXPECT_EQ(s.error, "no network");
    }
}

TEST(Batch, StartSuppliesEachSpectrumsStartingValues) {
    // A start that puts the true values of each spectrum in place: every
    // fit then stops at its first candidate near the data's own values.
    FitRequest request = base_request("levenberg_marquardt");
    const auto spectra = some_spectra(3);
    std::atomic<int> calls{0};
    BatchStart start = [&](const std::vector<double>& f, const std::vector<Cx>& z) -> std::expected<NodeList, std::string> {
        ++calls;
        EXPECT_EQ(f.size(), z.size());
        return rebuild(request.circuit, {z.back().re, z.front().re - z.back().re, 1e-5});
    };
    BatchControl control;
    const auto slots = fit_batch(request, spectra, start, control);
    EXPECT_EQ(calls.load(), 3);
    for (std::size_t i = 0; i < spectra.size(); ++i) {
        FitRequest single = request;
        single.circuit = rebuild(request.circuit, {spectra[i].impedances.back().re,
                                                   spectra[i].impedances.front().re - spectra[i].impedances.back().re, 1e-5});
        single.frequencies = spectra[i].frequencies;
        single.impedances = spectra[i].impedances;
        expect_same(*slots[i].outcome, *fit_dispatch(single));
    }
}

TEST(Batch, StopLeavesUnstartedSpectraNotRun) {
    FitRequest request = base_request("levenberg_marquardt");
    const auto spectra = some_spectra(40);
    BatchControl control;
    // The caller asks to stop after its first spectrum; the other threads
    // hold their first spectrum until then, so each of them can finish at
    // most that one.
    control.poll = [](std::size_t) { return false; };
    const auto caller = std::this_thread::get_id();
    BatchStart start = [&](const std::vector<double>&, const std::vector<Cx>&) -> std::expected<NodeList, std::string> {
        while (std::this_thread::get_id() != caller && !control.stop.load()) std::this_thread::yield();
        return request.circuit;
    };
    const auto slots = fit_batch(request, spectra, start, control);
    std::size_t done = 0, not_run = 0;
    for (const auto& s : slots) {
        done += s.status == BatchStatus::Done;
        not_run += s.status == BatchStatus::NotRun;
    }
    EXPECT_EQ(done + not_run, spectra.size());
    EXPECT_GE(done, 1u);
    EXPECT_LE(done, pool_threads());
    EXPECT_EQ(control.finished.load(), done);
}

TEST(Batch, PollRunsOnlyOnTheCallingThread) {
    FitRequest request = base_request("levenberg_marquardt");
    const auto spectra = some_spectra(16);
    BatchControl control;
    const auto caller = std::this_thread::get_id();
    std::atomic<int> polls{0}, foreign{0};
    control.poll = [&](std::size_t finished) {
        ++polls;
        if (std::this_thread::get_id() != caller) ++foreign;
        EXPECT_GE(finished, 1u);
        return true;
    };
    fit_batch(request, spectra, nullptr, control);
    EXPECT_GE(polls.load(), 1);
    EXPECT_EQ(foreign.load(), 0);
}

TEST(Pool, NestedCallsInsideATaskRunOnThatThread) {
    std::vector<std::set<std::thread::id>> seen(8);
    std::vector<std::thread::id> outer(8);
    parallel_for(8, [&](std::size_t i) {
        outer[i] = std::this_thread::get_id();
        std::vector<std::thread::id> inner(50);
        parallel_for(50, [&](std::size_t j) { inner[j] = std::this_thread::get_id(); });
        seen[i] = std::set<std::thread::id>(inner.begin(), inner.end());
    });
    for (std::size_t i = 0; i < 8; ++i) {
        ASSERT_EQ(seen[i].size(), 1u);
        EXPECT_EQ(*seen[i].begin(), outer[i]);
    }
}

}  // namespace
}  // namespace velotz
