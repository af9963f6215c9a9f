// The walk over a matrix's rows that every several-input product shares:
// tiles of rows by inputs, each tile's weights loaded once for its inputs.
// The kernels differ only in the tile they run (matvec_family.inc,
// int8_matvec_family.inc, the AVX512-BF16 tile of reduced_kernels.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

template <int N>
using TileCount = std::integral_constant<int, N>;

// Runs tile(TileCount<R>, TileCount<N>, r, first) for the n = N inputs from
// first on, N chosen at run time from n <= MaxInputs: a tile is compiled for
// each count, so that its accumulators stay in registers.
template <int R, int MaxInputs, class Tile>
inline void tile_of_inputs(int n, const Tile &tile, int64_t r, int first) {
  if constexpr (MaxInputs > 1)
    if (n < MaxInputs) return tile_of_inputs<R, MaxInputs - 1>(n, tile, r, first);
  tile(TileCount<R>(), TileCount<MaxInputs>(), r, first);
}

// Rows [row_begin, row_end) against `count` inputs. One input: tiles of
// OneInputRows rows. Several: tiles of TileRows rows, for groups of up to
// TileInputs inputs, the next group reading the tile's weights from cache.
// The rows a range leaves over go one at a time. A tile sums each (row,
// input) pair alone, so how the rows and inputs are grouped never changes a
// result.
template <int TileRows, int TileInputs, int OneInputRows, class Tile>
inline void walk_tiles(int count, int64_t row_begin, int64_t row_end, const Tile &tile) {
  int64_t r = row_begin;
  if (count == 1) {
    for (; r + OneInputRows <= row_end; r += OneInputRows)
      tile(TileCount<OneInputRows>(), TileCount<1>(), r, 0);
  } else {
    for (; r + TileRows <= row_end; r += TileRows)
      for (int first = 0; first < count; first += TileInputs)
        tile_of_inputs<TileRows, TileInputs>(std::min(TileInputs, count - first), tile, r, first);
  }
  for (; r < row_end; r++)
    for (int first = 0; first < count; first += TileInputs)
      tile_of_inputs<1, TileInputs>(std::min(TileInputs, count - first), tile, r, first);
}
