// The body of the matcher's SIMD kernels (the stages of KernelTable, matcher/simd/kernel_table.h),
// compiled once per instruction set: kernels_baseline.cpp, kernels_avx2.cpp (-mavx2) and
// kernels_avx512.cpp (-mavx512f -mavx512bw -mavx512dq) each define, before including it,
//   ONDREL_SIMD_ISA      the namespace of the unit's table, ondrel::internal::simd::<ISA>,
//   ONDREL_SIMD_SHORTS   16-bit lanes per vector of the cost rows (8, 16, 32),
//   ONDREL_SIMD_DOUBLES  doubles per vector of the window kernel (2, 4, 8),
//   ONDREL_SIMD_CHUNK    vectors per chunk of disparities of the window kernel.
// Everything here lives in that namespace (all but the table in an unnamed one inside it)
// on purpose: every unit has its own copy of every helper, built for its own instruction
// set, so no wide-instruction copy can stand in for the portable one at link time. For the
// same reason it includes no library header with inline functions beyond <cstring> and the
// intrinsics (<cassert> is a macro); matcher/simd/kernel_table.h, matcher/row_aggregation.h and
// matcher/constants.h hold only types, constants, constexpr functions and declarations.
//
// The stages are in three files, each included below inside the namespaces:
// cost_rows.simd.h, window_costs.simd.h and aggregate_row.simd.h (and semi_global.simd.h, the
// refined pipeline's paths, and median.simd.h, its weighted median), after the per-pixel rules
// they share with the portable code (pixel_rules.simd.h).

// GCC 12 takes the deliberately undefined source operand inside its own AVX-512 intrinsics
// (conversions, gathers, extractions) for an uninitialised variable: in every unit built
// with AVX-512, which a -march=native build makes of all three.
#if defined(__AVX512F__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "matcher/constants.h"
#include "matcher/simd/kernel_table.h"
#include "matcher/row_aggregation.h"

namespace ondrel::internal::simd {
namespace ONDREL_SIMD_ISA {

#include "matcher/simd/vec.h"

namespace {  // inside the ISA's namespace: internal, and still named after the ISA

#include "matcher/simd/pixel_rules.simd.h"
#include "matcher/simd/cost_rows.simd.h"
#include "matcher/simd/window_costs.simd.h"
#include "matcher/simd/aggregate_row.simd.h"
#include "matcher/simd/semi_global.simd.h"
#include "matcher/simd/median.simd.h"

}  // namespace

const KernelTable kTable = {ONDREL_SIMD_SHORTS, cost_volume_rows<ONDREL_SIMD_SHORTS, int16_t>,
                             cost_volume_rows<ONDREL_SIMD_SHORTS, int32_t>, aggregate_row,
                             semi_global_row_paths<ONDREL_SIMD_SHORTS>,
                             semi_global_column_paths<ONDREL_SIMD_SHORTS>, semi_global_costs,
                             semi_global_census<ONDREL_SIMD_SHORTS>,
                             semi_global_winners<ONDREL_SIMD_SHORTS>, semi_global_pick<ONDREL_SIMD_SHORTS / 2>,
                             median_sums<ONDREL_SIMD_SHORTS>, median_weights<ONDREL_SIMD_SHORTS>};

}  // namespace ONDREL_SIMD_ISA
}  // namespace ondrel::internal::simd
