// Throughput of the correlation engine on generated speckle pairs.
// Usage: dic2d_bench            (figures)
//        dic2d_bench write DIR  (writes ref.bin, def.bin, mask.bin of the
//                                1024 x 1024 translation case)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dic2d/cli/report.h"
#include "dic2d/engine/match_refiner.h"
#include "dic2d/engine/propagation.h"
#include "dic2d/engine/run_dic2d.h"
#include "dic2d/engine/seed_search.h"
#include "dic2d/roi/reduced_grid.h"

namespace {

using dic2d::GrayImage;
using dic2d::RoiMask;

struct Spot {
  double x, y, a;
};

std::vector<Spot> spots_for(int size) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> u(-5.0, size + 5.0), a(0.3, 1.0);
  std::vector<Spot> s(static_cast<std::size_t>(0.04 * (size + 10) * (size + 10)));
  for (auto& p : s) p = {u(rng), u(rng), a(rng)};
  return s;
}

// Deformed pixel (x, y) shows the reference pattern at the inverse-warped
// position; spots are binned so that a 2048^2 image renders in seconds.
GrayImage render(int size, const std::vector<Spot>& spots, double u0, double v0, double g) {
  const int cell = 8;
  const int cells = size / cell + 3;
  std::vector<std::vector<int>> bins(static_cast<std::size_t>(cells) * cells);
  for (std::size_t i = 0; i < spots.size(); ++i) {
    const int bx = std::min(cells - 1, std::max(0, static_cast<int>((spots[i].x + 8) / cell)));
    const int by = std::min(cells - 1, std::max(0, static_cast<int>((spots[i].y + 8) / cell)));
    bins[static_cast<std::size_t>(bx) * cells + by].push_back(static_cast<int>(i));
  }
  GrayImage img;
  img.width = img.height = size;
  img.pixels.resize(static_cast<std::size_t>(size) * size);
  const double c = size / 2.0;
  for (int x = 0; x < size; ++x) {
    for (int y = 0; y < size; ++y) {
      const double px = c + (x - c - u0) / (1 + g);
      const double py = c + (y - c - v0) / (1 - g);
      double value = 0.1;
      const int bx = static_cast<int>((px + 8) / cell), by = static_cast<int>((py + 8) / cell);
      for (int i = bx - 1; i <= bx + 1; ++i) {
        for (int j = by - 1; j <= by + 1; ++j) {
          if (i < 0 || j < 0 || i >= cells || j >= cells) continue;
          for (int k : bins[static_cast<std::size_t>(i) * cells + j]) {
            const double dx = px - spots[k].x, dy = py - spots[k].y;
            const double d2 = dx * dx + dy * dy;
            if (d2 < 40.0) value += spots[k].a * std::exp(-d2 / 5.12);
          }
        }
      }
      img.pixels[static_cast<std::size_t>(x) * size + y] = value;
    }
  }
  return img;
}

RoiMask mask_for(int size, int border) {
  RoiMask m;
  m.width = m.height = size;
  m.values.assign(static_cast<std::size_t>(size) * size, 0);
  for (int x = border; x < size - border; ++x)
    for (int y = border; y < size - border; ++y)
      m.values[static_cast<std::size_t>(x) * size + y] = 1;
  return m;
}

// FNV-1a over every result field and the seed's report values, so that a
// speed change can be checked for unchanged bits by comparing digests before
// and after.
std::uint64_t result_digest(const dic2d::DicResult& r) {
  std::uint64_t h = 1469598103934665603ULL;
  auto mix = [&h](const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ULL;
  };
  const dic2d::PointFields& f = r.fields;
  for (const auto* field : {&f.u, &f.v, &f.du_dx, &f.du_dy, &f.dv_dx, &f.dv_dy, &f.corrcoef})
    mix(field->data(), field->size() * sizeof(double));
  mix(f.valid.data(), f.valid.size() * sizeof(f.valid[0]));
  if (r.seed) {
    const auto seed = dic2d::seed_paramvector(*r.seed);
    mix(seed.data(), seed.size() * sizeof(double));
  }
  return h;
}

// Processor time of this (single-threaded) process: unlike wall time it is
// not inflated when other work shares the machine's cores.
using CpuClock = std::chrono::duration<double>;
CpuClock cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return CpuClock(static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec));
}

double seconds_since(CpuClock t0) { return (cpu_now() - t0).count(); }

// The refinement a case runs with: the default, or the precision options
// (zero-normalised criterion, cubic B-spline, inverse-compositional).
struct Mode {
  const char* label;
  bool precision;
};
constexpr Mode kDefault{"", false};
constexpr Mode kPrecision{" precision", true};

// Runs the engine's stages one by one, timing the seed search and the
// propagation separately (the precision mode's B-spline coefficients count
// in the whole run). Returns the solved points per second of the whole run.
double run_case(const char* name, int size, int radius, double u0, double v0, double g,
                Mode mode = kDefault) {
  const auto spots = spots_for(size);
  const GrayImage ref = render(size, spots, 0, 0, 0);
  const GrayImage def = render(size, spots, u0, v0, g);
  const RoiMask mask = mask_for(size, 30);
  dic2d::DicParameters p;
  p.subset_radius = radius;
  p.subset_spacing = 5;
  if (mode.precision) {
    p.criterion = dic2d::MatchCriterion::kZnssd;
    p.interpolation = dic2d::SubpixelInterpolation::kBspline3;
  }
  dic2d::SeedInput seed;
  seed.seed_x = seed.seed_y = (size / 2 / 6) * 6;  // on the grid
  const auto t0 = cpu_now();
  const dic2d::RunStart start = dic2d::start_run(ref, def, mask, seed, p);
  dic2d::MatchRefiner refiner = dic2d::make_match_refiner(ref, def, p);
  const auto t_seed = cpu_now();
  const dic2d::SeedMatch seed_match = dic2d::find_seed(ref, def, mask, start.seed, p, refiner);
  const double seed_seconds = seconds_since(t_seed);
  std::vector<dic2d::Point2> points = dic2d::list_reference_grid_points(mask, p);
  const auto t_prop = cpu_now();
  dic2d::PointFields fields =
      dic2d::propagate_rg(ref, def, mask, p, start.roi, points, seed_match, refiner);
  const double propagation_seconds = seconds_since(t_prop);
  const dic2d::DicResult r =
      dic2d::finish_run(start.roi, seed_match, std::move(points), std::move(fields));
  const double total = seconds_since(t0);
  // Error against the rendered motion u = u0 + g (X - c), v = v0 - g (Y - c).
  std::int64_t solved = 0;
  double squared_error = 0.0;
  const double c = size / 2.0;
  for (std::size_t i = 0; i < r.fields.valid.size(); ++i) {
    if (r.fields.valid[i] == 0) continue;
    ++solved;
    const double du = r.fields.u[i] - (u0 + g * (r.reference_grid_points[i][0] - c));
    const double dv = r.fields.v[i] - (v0 - g * (r.reference_grid_points[i][1] - c));
    squared_error += du * du + dv * dv;
  }
  const double rms = solved > 0 ? std::sqrt(squared_error / (2.0 * solved)) : 0.0;
  const std::string label = std::string(name) + mode.label;
  std::printf(
      "%-22s size %4d radius %2d: %7lld solved, %6.3f s, %5.0f points/s; seed search %.4f s; "
      "propagation %5.0f points/s; RMS error %.5f px; digest %016llx\n",
      label.c_str(), size, radius, static_cast<long long>(solved), total, solved / total,
      seed_seconds, (solved - 1) / propagation_seconds, rms,
      static_cast<unsigned long long>(result_digest(r)));
  std::fflush(stdout);
  return solved / total;
}

// The default and the precision mode on the same case, one after the other.
void compare_modes(const char* name, int size, int radius, double u0, double v0, double g) {
  const double standard = run_case(name, size, radius, u0, v0, g);
  const double precise = run_case(name, size, radius, u0, v0, g, kPrecision);
  std::printf("%-22s precision / default points/s: %.2f\n", name, precise / standard);
  std::fflush(stdout);
}

void write_raw(const std::string& path, const GrayImage& img) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(&img.width), 4);
  f.write(reinterpret_cast<const char*>(&img.height), 4);
  f.write(reinterpret_cast<const char*>(img.pixels.data()),
          static_cast<std::streamsize>(img.pixels.size() * sizeof(double)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "write") == 0) {
    const std::string dir = argv[2];
    const auto spots = spots_for(1024);
    write_raw(dir + "/ref.bin", render(1024, spots, 0, 0, 0));
    write_raw(dir + "/def.bin", render(1024, spots, 3.3, -1.7, 0));
    const RoiMask m = mask_for(1024, 30);
    std::ofstream f(dir + "/mask.bin", std::ios::binary);
    f.write(reinterpret_cast<const char*>(&m.width), 4);
    f.write(reinterpret_cast<const char*>(&m.height), 4);
    f.write(reinterpret_cast<const char*>(m.values.data()),
            static_cast<std::streamsize>(m.values.size()));
    return 0;
  }
  // Cases by name; no name runs them all.
  const auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], name) == 0) return true;
    return false;
  };
  if (wanted("translation")) compare_modes("translation", 1024, 20, 3.3, -1.7, 0.0);
  if (wanted("affine")) compare_modes("affine", 1024, 20, 1.2, 0.8, 0.01);
  if (wanted("small")) run_case("small", 256, 20, 3.3, -1.7, 0.0);
  if (wanted("sizes"))
    for (int size : {256, 512, 2048}) run_case("size", size, 20, 3.3, -1.7, 0.0);
  if (wanted("radii"))
    for (int radius : {10, 30}) run_case("radius", 1024, radius, 3.3, -1.7, 0.0);
  return 0;
}
