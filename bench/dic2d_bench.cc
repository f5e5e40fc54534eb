// Throughput of the correlation engine on generated speckle pairs.
// Usage: dic2d_bench            (figures)
//        dic2d_bench write DIR  (writes ref.bin, def.bin, mask.bin of the
//                                1024 x 1024 translation case)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dic2d/engine/run_dic2d.h"

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
    for (int y = border; y < size - border; ++y) m.values[static_cast<std::size_t>(x) * size + y] = 1;
  return m;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void run_case(const char* name, int size, int radius, double u0, double v0, double g) {
  const auto spots = spots_for(size);
  const GrayImage ref = render(size, spots, 0, 0, 0);
  const GrayImage def = render(size, spots, u0, v0, g);
  const RoiMask mask = mask_for(size, 30);
  dic2d::DicParameters p;
  p.subset_radius = radius;
  p.subset_spacing = 5;
  dic2d::SeedInput seed;
  seed.seed_x = seed.seed_y = (size / 2 / 6) * 6;  // on the grid
  const auto t0 = std::chrono::steady_clock::now();
  const dic2d::DicResult r = dic2d::run_dic2d(ref, def, mask, seed, p);
  const double total = seconds_since(t0);
  std::int64_t solved = 0;
  for (auto v : r.valid) solved += v;
  std::printf("%-12s size %5d radius %2d: %8lld solved, %.3f s, %.0f points/s\n", name, size,
              radius, static_cast<long long>(solved), total, solved / total);
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
  run_case("translation", 1024, 20, 3.3, -1.7, 0.0);
  run_case("affine", 1024, 20, 1.2, 0.8, 0.01);
  for (int size : {256, 512, 2048}) run_case("size", size, 20, 3.3, -1.7, 0.0);
  for (int radius : {10, 30}) run_case("radius", 1024, radius, 3.3, -1.7, 0.0);
  return 0;
}
