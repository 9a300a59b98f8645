// The inverse column pass, written once for every vector width. V supplies
// the 16-bit lane operations of one instruction set (MMX: 4 columns, SSE2: 8,
// AVX2: 8 columns of two blocks); y[k] holds row k of the columns, in place.
#pragma once

#include "dct.h"

template <class V>
inline void idctColumnPass(typename V::Vec y[8]) {
  using Vec = typename V::Vec;
  const Vec t1 = V::splat(tan1), t2 = V::splat(tan2), t3 = V::splat(tan3), s2 = V::splat(sqrt2);
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
