#include "tools/clip/clip_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace kelvo4 {

namespace {

struct Rgb {
  double r, g, b;
};

Rgb mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }
Rgb scale(Rgb a, double s) { return {a.r * s, a.g * s, a.b * s}; }
Rgb add(Rgb a, double d) { return {a.r + d, a.g + d, a.b + d}; }

double smoothstep(double e0, double e1, double x) {
  const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
  return t * t * (3 - 2 * t);
}

// Lattice hash to [0, 1); integer-only so the picture is the same everywhere.
double hash(std::int64_t x, std::int64_t y, std::uint32_t seed) {
  std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ULL ^
                    static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4FULL ^ seed * 0x165667B19E3779F9ULL;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// Value noise in [0, 1) with quintic interpolation between lattice points.
double noise(double x, double y, std::uint32_t seed) {
  const double fx = std::floor(x), fy = std::floor(y);
  const auto ix = static_cast<std::int64_t>(fx), iy = static_cast<std::int64_t>(fy);
  const double tx = x - fx, ty = y - fy;
  const double sx = tx * tx * tx * (tx * (tx * 6 - 15) + 10), sy = ty * ty * ty * (ty * (ty * 6 - 15) + 10);
  const double a = hash(ix, iy, seed), b = hash(ix + 1, iy, seed);
  const double c = hash(ix, iy + 1, seed), d = hash(ix + 1, iy + 1, seed);
  return (a + (b - a) * sx) + ((c + (d - c) * sx) - (a + (b - a) * sx)) * sy;
}

// Fractal sum of octaves, roughly in [0, 1).
double fbm(double x, double y, int octaves, std::uint32_t seed) {
  double sum = 0, amp = 0.5, norm = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amp * noise(x, y, seed + static_cast<std::uint32_t>(o) * 101u);
    norm += amp;
    amp *= 0.5;
    x *= 2.03;
    y *= 2.03;
  }
  return sum / norm;
}

// Ridge heights (v grows downward, the frame is one unit high).
double mountainRidge(double u) { return 0.41 - 0.55 * (fbm(u * 2.4, 0.5, 6, 11) - 0.5); }
double hillRidge(double u) { return 0.63 - 0.25 * (fbm(u * 1.6, 3.5, 4, 23) - 0.5); }

Rgb sky(double u, double v) {
  Rgb c = mix({48, 96, 172}, {196, 214, 234}, smoothstep(-0.1, 0.55, v));
  // The sun's glow, then soft clouds drifting nowhere: the camera moves.
  const double du = u - 1.45, dv = v - 0.12;
  c = add(c, 70 * std::exp(-(du * du + dv * dv) / 0.02));
  const double cloud = smoothstep(0.52, 0.72, fbm(u * 2.2, v * 5.0, 6, 5));
  const double shade = 0.82 + 0.18 * fbm(u * 6, v * 12, 3, 9);
  return mix(c, scale(Rgb{248, 248, 252}, shade), cloud * 0.9);
}

Rgb mountain(double u, double v, double ridge) {
  const double rock = fbm(u * 9, v * 9, 5, 31);
  Rgb c = mix({78, 84, 108}, {128, 132, 150}, rock);
  // Snow on the peaks, with a ragged lower border.
  const double snow = smoothstep(0.045, 0.03, v - ridge + 0.03 * (fbm(u * 20, v * 20, 3, 37) - 0.5)) *
                      smoothstep(0.36, 0.31, ridge);
  c = mix(c, {236, 238, 244}, snow);
  // Haze toward the valley.
  return mix(c, {170, 185, 205}, 0.35 * smoothstep(0.3, 0.66, v));
}

Rgb meadow(double u, double v) {
  const double patch = fbm(u * 3, v * 6, 4, 41);
  Rgb c = mix({92, 138, 58}, {150, 160, 70}, smoothstep(0.35, 0.7, patch));
  // Grass gets coarser toward the camera.
  const double depth = std::clamp((v - 0.6) / 0.4, 0.0, 1.0);
  const double grass = fbm(u * (150 - 70 * depth), v * (50 - 20 * depth), 3, 43) - 0.5;
  c = add(c, grass * (26 + 20 * depth));
  c = scale(c, 0.8 + 0.35 * depth);
  // A dirt path winding through the meadow.
  const double path = std::fabs(v - (0.86 + 0.04 * std::sin(u * 3.1)));
  const double pathWidth = 0.012 + 0.03 * depth;
  const double onPath = smoothstep(pathWidth, pathWidth * 0.7, path);
  return mix(c, add(Rgb{158, 134, 98}, 30 * (fbm(u * 40, v * 40, 3, 47) - 0.5)), onPath);
}

// Trees stand on the hill ridge, one per cell at most; returns the blend.
double tree(double u, double v, Rgb& colour) {
  const double cell = 0.09;
  const auto i0 = static_cast<std::int64_t>(std::floor(u / cell));
  double cover = 0;
  for (std::int64_t i = i0 - 1; i <= i0 + 1; ++i) {
    if (hash(i, 7, 53) < 0.3) continue;
    const double cu = (static_cast<double>(i) + 0.2 + 0.6 * hash(i, 8, 53)) * cell;
    const double size = 0.035 + 0.03 * hash(i, 9, 53);
    const double base = hillRidge(cu) + 0.01;
    const double trunk = (std::fabs(u - cu) < size * 0.12 && v < base && v > base - size) ? 1 : 0;
    const double cv = base - size * 1.6;
    const double du = (u - cu) / size, dv = (v - cv) / (size * 1.3);
    const double edge = 1 - std::sqrt(du * du + dv * dv) + 0.25 * (fbm(u * 80, v * 80, 2, 59) - 0.5);
    const double crown = smoothstep(0.0, 0.06, edge);
    if (trunk > cover && crown < trunk) {
      colour = {88, 62, 40};
      cover = trunk;
    }
    if (crown > 0 && crown >= cover) {
      const double light = 0.7 + 0.6 * fbm(u * 50, v * 50, 3, 61) - 0.25 * du;
      colour = scale(Rgb{40, 86, 44}, light);
      cover = std::max(cover, crown);
    }
  }
  return cover;
}

// A house with hard edges: walls, a red roof, windows and a door.
bool house(double u, double v, Rgb& colour) {
  const double x0 = 1.02, x1 = 1.24, top = 0.63, base = 0.75;
  if (u >= x0 && u < x1 && v >= top && v < base) {
    colour = {214, 200, 168};
    const double wx = std::fmod(u - x0, 0.055);
    if (v > top + 0.025 && v < top + 0.06 && wx > 0.02 && wx < 0.045) colour = {46, 60, 92};
    if (u > 1.12 && u < 1.15 && v > base - 0.06) colour = {96, 58, 36};
    return true;
  }
  // Roof: a triangle over the walls with a small overhang.
  const double mid = (x0 + x1) / 2, half = (x1 - x0) / 2 + 0.015;
  if (v < top && v > top - 0.09 && std::fabs(u - mid) < half * (v - (top - 0.09)) / 0.09) {
    colour = add(Rgb{168, 54, 42}, 18 * std::sin((v - top) * 400));
    return true;
  }
  return false;
}

Rgb scene(double u, double v, int index) {
  Rgb c;
  const double mr = mountainRidge(u), hr = hillRidge(u);
  if (v < mr)
    c = sky(u, v);
  else if (v < hr)
    c = mountain(u, v, mr);
  else
    c = meadow(u, v);
  Rgb t{};
  const double cover = tree(u, v, t);
  if (cover > 0) c = mix(c, t, cover);
  if (house(u, v, t)) c = t;

  const double f = index;
  // A bird crossing the sky, flapping.
  const double bu = 0.35 + 0.006 * f, bv = 0.22 + 0.015 * std::sin(f * 0.3);
  const double wing = 0.012 * std::sin(f * 0.9);
  const double bx = (u - bu) / 0.03;
  if (std::fabs(bx) < 1 && std::fabs(v - (bv - wing * std::fabs(bx) * 2 + 0.004 * bx * bx)) < 0.004)
    c = {30, 30, 36};
  // A shaded red ball bouncing along the path.
  const double ru = 0.45 + 0.004 * f, rv = 0.84 - 0.06 * std::fabs(std::sin(f * 0.21)), rr = 0.035;
  const double dx = (u - ru) / rr, dy = (v - rv) / rr, d2 = dx * dx + dy * dy;
  if (d2 < 1) {
    const double light = std::clamp(0.35 + 0.65 * (-0.5 * dx - 0.6 * dy + 0.62 * std::sqrt(1 - d2)), 0.2, 1.0);
    c = mix(c, add(scale(Rgb{214, 36, 30}, light), 200 * std::pow(std::max(0.0, 1 - 8 * ((dx + 0.35) * (dx + 0.35) + (dy + 0.4) * (dy + 0.4))), 2)),
            smoothstep(1, 0.9, d2));
  }
  // A yellow cart rolling the other way, with dark wheels.
  const double cu = 1.5 - 0.005 * f, cv = 0.9;
  if (u > cu - 0.06 && u < cu + 0.06 && v > cv - 0.05 && v < cv) c = {226, 186, 40};
  for (double wu : {cu - 0.035, cu + 0.035}) {
    const double wx = u - wu, wy = v - cv;
    if (wx * wx + wy * wy < 0.018 * 0.018) c = {24, 24, 24};
  }
  return c;
}

std::uint8_t toByte(double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); }

}  // namespace

Image clipFrame(int w, int h, int index) {
  Image image(w, h);
  const double f = index;
  // Pan right about 1/240 of the height per frame; zoom in and out by up to a
  // quarter over 120 frames.
  const double s = std::sin(std::numbers::pi * f / 120);
  const double zoom = 1.0 + 0.25 * s * s;
  const double cu = 0.5 * w / h + 0.0042 * f, cv = 0.5;
  const double pixel = 1.0 / (h * zoom);
  // 2x2 samples per pixel keep edges smooth, as a camera would.
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Rgb sum{0, 0, 0};
      for (int sy = 0; sy < 2; ++sy)
        for (int sx = 0; sx < 2; ++sx) {
          const double u = cu + (x + 0.25 + 0.5 * sx - 0.5 * w) * pixel;
          const double v = cv + (y + 0.25 + 0.5 * sy - 0.5 * h) * pixel;
          const Rgb c = scene(u, v, index);
          sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
        }
      std::uint8_t* p = &image.rgb[3 * (static_cast<std::size_t>(y) * w + x)];
      p[0] = toByte(sum.r / 4);
      p[1] = toByte(sum.g / 4);
      p[2] = toByte(sum.b / 4);
    }
  return image;
}

Image photoFrame(const Image& photo, int width, int height, Motion motion, int index, double speed) {
  // Photo pixels per frame pixel: the photograph covers the frame 12% wider
  // than it, which leaves room for 30 frames of pan or zoom; a faster pan
  // gets the room its 30 frames need.
  const bool fast = motion == Motion::Pan && speed > kDefaultPanSpeed;
  const double wide = fast ? std::max(1.12 * width, width + 32 * speed) : 1.12 * width;
  const double cover = std::min(photo.width / wide, photo.height / (1.12 * height));
  double step = cover, x0 = (photo.width - width * cover) / 2, y0 = (photo.height - height * cover) / 2;
  if (motion == Motion::Pan) x0 -= (fast ? 15 * speed : 0.05 * width) * cover - speed * cover * index;
  if (motion == Motion::Zoom) {
    step = cover / (1.0 + 0.003 * index);
    x0 = (photo.width - width * step) / 2;
    y0 = (photo.height - height * step) / 2;
  }
  auto at = [&](int x, int y, int k) {
    x = std::clamp(x, 0, photo.width - 1);
    y = std::clamp(y, 0, photo.height - 1);
    return static_cast<double>(photo.rgb[3 * (static_cast<std::size_t>(y) * photo.width + x) + k]);
  };
  auto bilinear = [&](double x, double y, int k) {
    const double fx = std::floor(x), fy = std::floor(y), tx = x - fx, ty = y - fy;
    const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    return (at(ix, iy, k) * (1 - tx) + at(ix + 1, iy, k) * tx) * (1 - ty) +
           (at(ix, iy + 1, k) * (1 - tx) + at(ix + 1, iy + 1, k) * tx) * ty;
  };
  // Shrinking averages taps across each frame pixel so detail does not alias.
  const int taps = std::clamp(static_cast<int>(std::ceil(step)), 1, 4);
  Image frame(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < 3; ++k) {
        double sum = 0;
        for (int j = 0; j < taps; ++j)
          for (int i = 0; i < taps; ++i)
            sum += bilinear(x0 + (x + (i + 0.5) / taps) * step - 0.5, y0 + (y + (j + 0.5) / taps) * step - 0.5, k);
        frame.rgb[3 * (static_cast<std::size_t>(y) * width + x) + k] =
            static_cast<std::uint8_t>(std::clamp(std::lround(sum / (taps * taps)), 0L, 255L));
      }
  return frame;
}

}  // namespace kelvo4
