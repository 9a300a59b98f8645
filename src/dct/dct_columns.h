// The column passes, written once for every vector width. V supplies the
// 16-bit lane operations of one instruction set (MMX: 4 columns, SSE2 and
// NEON: 8, AVX2: 8 columns of two blocks); y[k] holds row k of the columns,
// in place.
#pragma once

#include "src/dct/dct.h"

namespace kelvo4 {

template <class V>
inline void idctColumnPass(typename V::Vec y[8]) {
  using Vec = typename V::Vec;
  const Vec t1 = V::splat(kTan1.v), t2 = V::splat(kTan2.v), t3 = V::splat(kTan3.v), s2 = V::splat(kSqrt2.v);
  // Every step saturates at once, in exactly this nesting.
  const Vec w0 = V::subs(V::adds(V::mulhi(y[3], t3), y[3]), y[5]);
  const Vec w1 = V::adds(V::adds(V::mulhi(y[5], t3), y[5]), y[3]);
  const Vec u0 = V::adds(V::mulhi(y[7], t1), y[1]);
  const Vec u1 = V::subs(V::mulhi(y[1], t1), y[7]);
  const Vec e0 = V::subs(u0, w1), e1 = V::subs(u1, w0);
  const Vec o0 = V::adds(w1, u0), o1 = V::adds(w0, u1);
  const Vec h0 = V::mulhi(V::adds(o1, e0), s2);
  const Vec h1 = V::mulhi(V::subs(e0, o1), s2);
  const Vec g0 = V::adds(h0, h0), g1 = V::adds(h1, h1);
  const Vec p = V::adds(V::mulhi(y[6], t2), y[2]);
  const Vec q = V::subs(V::mulhi(y[2], t2), y[6]);
  const Vec d = V::subs(y[0], y[4]);
  const Vec s = V::adds(V::adds(y[4], y[4]), d);
  const Vec dm = V::subs(d, q), sm = V::subs(s, p);
  const Vec dp = V::adds(V::adds(q, q), dm);
  const Vec sp = V::adds(V::adds(p, p), sm);
  const Vec z6 = V::subs(dp, g0), z5 = V::subs(dm, g1);
  y[0] = V::shift6(V::adds(o0, sp));
  y[1] = V::shift6(V::adds(V::adds(g0, g0), z6));
  y[2] = V::shift6(V::adds(V::adds(g1, g1), z5));
  y[3] = V::shift6(V::adds(e1, sm));
  y[4] = V::shift6(V::subs(sm, e1));
  y[5] = V::shift6(z5);
  y[6] = V::shift6(z6);
  y[7] = V::shift6(V::subs(sp, o0));
}

// The forward pass; V also supplies plain (wrapping) shifts left by 3 and 4
// and orOne, which sets each lane's lowest bit.
template <class V>
inline void fdctColumnPass(typename V::Vec x[8]) {
  using Vec = typename V::Vec;
  const Vec t1 = V::splat(kTan1.v), t2 = V::splat(kTan2.v), t3 = V::splat(kTan3.v), s2 = V::splat(kSqrt2.v);
  const Vec s07 = V::adds(x[0], x[7]), d07 = V::subs(x[0], x[7]);
  const Vec s16 = V::adds(x[1], x[6]), d16 = V::subs(x[1], x[6]);
  const Vec s25 = V::adds(x[2], x[5]), d25 = V::subs(x[2], x[5]);
  const Vec s34 = V::adds(x[3], x[4]), d34 = V::subs(x[3], x[4]);
  const Vec a0 = V::subs(s07, s34), b0 = V::subs(s16, s25);
  // Plain shifts: the scaling wraps instead of saturating.
  const Vec e0 = V::shl3(V::adds(V::adds(s34, s34), a0));
  const Vec e1 = V::shl3(V::adds(V::adds(s25, s25), b0));
  const Vec a = V::shl3(a0), b = V::shl3(b0);
  const Vec d07s = V::shl3(d07), d34s = V::shl3(d34);
  const Vec d16s = V::shl4(d16), d25s = V::shl4(d25);

  x[4] = V::subs(e0, e1);
  x[0] = V::adds(V::adds(e1, e1), x[4]);
  x[2] = V::orOne(V::adds(V::mulhi(b, t2), a));
  x[6] = V::orOne(V::subs(V::mulhi(a, t2), b));
  const Vec u = V::subs(d16s, d25s);
  const Vec w = V::adds(V::adds(d25s, d25s), u);
  const Vec w1 = V::orOne(V::mulhi(w, s2));
  const Vec u1 = V::mulhi(u, s2);
  const Vec p = V::subs(d34s, u1), q = V::subs(d07s, w1);
  const Vec r = V::adds(w1, d07s), t = V::adds(u1, d34s);
  x[1] = V::adds(V::mulhi(t, t1), r);
  x[7] = V::subs(V::mulhi(r, t1), t);
  x[3] = V::subs(q, V::adds(V::mulhi(p, t3), p));
  x[5] = V::adds(p, V::adds(V::mulhi(q, t3), q));
}

}  // namespace kelvo4
