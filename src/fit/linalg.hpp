#pragma once
// Small dense linear algebra for the fit outcome: the normal matrix J^T J of a
// Jacobian and its inverse.

#include <cstddef>
#include <optional>
#include <vector>

namespace velotz {

// J^T J (row-major n x n, exactly symmetric) of a column-major m x n Jacobian
// whose entry (i, k) is jac_colmajor[k * m + i]. Each entry is the dot product
// of two columns summed in row order. Requires jac_colmajor.size() >= m * n.
std::vector<double> normal_matrix(const std::vector<double>& jac_colmajor, std::size_t m,
                                  std::size_t n);

// Inverse of the row-major n x n matrix a.
// - n = 1, 2, 3: closed-form cofactor (adjugate) formulas; absent when the
//   determinant is exactly 0.
// - n = 4: cofactor expansion along the first row, adjugate times 1/det;
//   absent when the determinant is exactly 0.
// - n >= 5: LU factorisation with partial pivoting (pivot: the entry of
//   largest magnitude at or below the diagonal, the first one on ties) applied
//   to the identity; absent when a pivot is exactly 0.
// n = 0 gives an empty inverse. Absent also when a has fewer than n*n entries.
// Non-finite entries are not errors; they flow into the result.
std::optional<std::vector<double>> invert_normal_matrix(const std::vector<double>& a, std::size_t n);

// normal_matrix and invert_normal_matrix written into existing vectors (no
// allocation once they have the capacity); the inversion returns false where
// invert_normal_matrix returns nothing. `work` is scratch of the LU path.
void normal_matrix_into(const double* jac_colmajor, std::size_t m, std::size_t n, std::vector<double>& out);
bool invert_normal_matrix_into(const std::vector<double>& a, std::size_t n, std::vector<double>& out,
                               std::vector<double>& work);

}  // namespace velotz
