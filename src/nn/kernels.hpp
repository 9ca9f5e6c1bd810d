#pragma once
// The kernels of the guess network's forward pass, for nn/guess.cpp: the
// dilated convolution from packed weights, group normalisation and the dense
// layers. GELU and the choice of kernel level are in nn/guesser.hpp.

#include <cstddef>
#include <span>
#include <vector>

#include "nn/guesser.hpp"

namespace velotz::nn_kernels {

// One tap of a dilated kernel: it reads position t + off, which exists for t
// in [lo, hi). A tap that never lands on the grid has lo == hi.
struct Tap {
    std::ptrdiff_t off;
    std::ptrdiff_t lo;
    std::ptrdiff_t hi;
};

// One term of the sum for a block of positions: which weight it uses
// (c * K + j) and which row of liveness flags applies (0: every position of
// the block has the term). Its inputs are the term's column of the panel.
struct Term {
    std::size_t cj;
    std::size_t wofs;  // cj * kRows: offset of the term's weights in a packed group
    std::size_t mask;
};

// Working arrays of a convolution, reused across the layers of one guess.
struct ConvScratch {
    std::vector<double> padded;
    std::vector<double> panel;
    std::vector<Tap> taps;
    std::vector<Term> terms;
    std::vector<unsigned char> live;
    std::vector<unsigned char> state;
};

// Dilated same-length convolution of `in` (cin x len) into `out` (cout x len):
// out[o][t] = bias[o] + sum over c, j (in that order) of w[o][c][j] * in[c][t + off_j],
// with absent taps and zero weights skipped; `packed` is Guesser::pack_conv of w.
void convolve(const double* w, const Guesser::PackedConv& packed, const double* bias, std::size_t cout,
              std::size_t cin, std::size_t k, std::size_t dilation, std::span<const double> in, std::size_t len,
              ConvScratch& s, double* out);

// Group norm of `channels` rows of `len` values in `groups` groups, in place.
void group_norm_into(std::span<double> x, const double* weight, const double* bias, std::size_t channels,
                     std::size_t groups, std::size_t len);

// out[o] = sum_j w[o][j] x[j] (from -0.0, j ascending) + bias[o].
void dense_into(const double* w, const double* bias, std::size_t out_len, std::size_t in_len,
                std::span<const double> x, double* out);

// The same sums, from the blocked weights `wb` (block_dense of w) where the
// CPU has AVX2, else from w.
void dense_layer_run(const double* w, const std::vector<double>& wb, const double* bias, std::size_t out_len,
                     std::size_t in_len, std::span<const double> x, double* out);

// Weights of a dense layer ([out][in]) in blocks of outputs for dense_layer_run.
std::vector<double> block_dense(const double* w, std::size_t out_len, std::size_t in_len);

}  // namespace velotz::nn_kernels
