// The Konno-Ohmachi sums of one block of points for a pair of centres,
// written once for every vector width. konno_ohmachi.cpp includes this file
// once per width, each time in a namespace of its own where `vec` names the
// width's vector type (1, 4 or 8 doubles), inside the region that lets the
// compiler use that width's instructions; hence no include guard. Every
// width does the same operations on each lane, in the same order, so the
// bits do not depend on it.
//
// vec offers: width, all(x) (x in every lane), load(p), v.store(p), + - * /
// (each rounded once), fma(a, b, c) (a b + c rounded once), below(x, limit)
// (the mask of the lanes where |x| < limit), select(m, a, b) (a where m is
// set, else b) and any(m1, m2) (whether a lane of either mask is set).

// sinc(x)^4 for |x| < near, from 1 - x^2/6 + x^4/120 - x^6/5040 (the next
// term is below 3e-22 there).
inline vec near_weights(vec x) {
  const vec x2 = x * x;
  const vec r = vec::all(1.0) - x2 * (vec::all(1.0 / 6.0) -
                                      x2 * (vec::all(1.0 / 120.0) - x2 * vec::all(1.0 / 5040.0)));
  const vec r2 = r * r;
  return r2 * r2;
}

// (s / e)^4 for both centres with one division: with q = 1 / (e1 e2),
// 1 / e1 = e2 q and 1 / e2 = e1 q.
inline void pair_weights(vec s1, vec s2, vec e1, vec e2, vec &w1, vec &w2) {
  const vec q = vec::all(1.0) / (e1 * e2);
  const vec r1 = s1 * (e2 * q), r2 = s2 * (e1 * q);
  const vec r1s = r1 * r1, r2s = r2 * r2;
  w1 = r1s * r1s;
  w2 = r2s * r2s;
}

// Lanes first .. first + width - 1 of the block `points`: lane j sums the
// points 8i + j in order. A point near a centre counts as 1 in the shared
// divisor and takes its weight from the series. Without check_near no point
// may lie near either centre, and the tests for one, which would change
// nothing, are left out.
template <bool check_near>
inline void lane_run(const block_view &points, const centre &c1, const centre &c2,
                     std::size_t first, lane_sums &sums1, lane_sums &sums2) {
  const vec phase1 = vec::all(c1.phase), sine1 = vec::all(c1.sine), cosine1 = vec::all(c1.cosine);
  const vec phase2 = vec::all(c2.phase), sine2 = vec::all(c2.sine), cosine2 = vec::all(c2.cosine);
  const vec one = vec::all(1.0), zero = vec::all(0.0);
  vec w1s = zero, w2s = zero, a1[slots], a2[slots];
  for (std::size_t q = 0; q < slots; ++q)
    a1[q] = a2[q] = zero;
  for (std::size_t i = first; i < block; i += lanes) {
    const vec phase = vec::load(points.phase + i);
    const vec sine = vec::load(points.sine + i), cosine = vec::load(points.cosine + i);
    const vec d1 = phase - phase1, d2 = phase - phase2;
    const vec s1 = sine * cosine1 - cosine * sine1, s2 = sine * cosine2 - cosine * sine2;
    vec w1, w2;
    if constexpr (check_near) {
      const auto at1 = vec::below(d1, near), at2 = vec::below(d2, near);
      pair_weights(s1, s2, vec::select(at1, one, d1), vec::select(at2, one, d2), w1, w2);
      if (vec::any(at1, at2)) { // near a centre: rare
        w1 = vec::select(at1, near_weights(d1), w1);
        w2 = vec::select(at2, near_weights(d2), w2);
      }
    } else {
      pair_weights(s1, s2, d1, d2, w1, w2);
    }
    w1s = w1s + w1;
    w2s = w2s + w2;
    for (std::size_t q = 0; q < slots; ++q) {
      const vec a = vec::load(points.amp[q] + i);
      a1[q] = vec::fma(w1, a, a1[q]);
      a2[q] = vec::fma(w2, a, a2[q]);
    }
  }
  w1s.store(sums1.w + first);
  w2s.store(sums2.w + first);
  for (std::size_t q = 0; q < slots; ++q) {
    a1[q].store(sums1.a[q] + first);
    a2[q].store(sums2.a[q] + first);
  }
}

// The lane sums of a whole block for centres c1 and c2 (all `lanes` lanes,
// `vec::width` at a time). `may_be_near`: whether a point of the block may
// lie near either centre.
inline void block_sums(const block_view &points, const centre &c1, const centre &c2,
                       bool may_be_near, lane_sums &sums1, lane_sums &sums2) {
  for (std::size_t first = 0; first < lanes; first += vec::width)
    if (may_be_near)
      lane_run<true>(points, c1, c2, first, sums1, sums2);
    else
      lane_run<false>(points, c1, c2, first, sums1, sums2);
}
