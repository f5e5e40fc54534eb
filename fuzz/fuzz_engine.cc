// Fuzzes one whole correlation run (run_dic2d, then the output writer) on
// tiny generated inputs: images and masks of at most 48 x 48 pixels, and
// parameters drawn from small ranges or from a table of hostile values
// (negative, 2^31 - 1, NaN, infinities). Inputs whose estimated work exceeds
// a fixed budget are skipped, so one input runs in milliseconds.
//
// The harness predicts every validation and ROI failure with its exact
// message from an independent reading of the rules, and checks the
// invariants of a successful result (array lengths, grid order, seed entry,
// zeroed unsolved points, accepted coefficients, output size, determinism).

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "dic2d/core/parameters.h"
#include "dic2d/core/result.h"
#include "dic2d/engine/run_dic2d.h"
#include "dic2d/io/image_files.h"
#include "dic2d/io/output_file.h"

namespace {

using dic2d::DicParameters;
using dic2d::DicResult;
using dic2d::GrayImage;
using dic2d::RoiMask;
using dic2d::SeedInput;

constexpr std::int32_t kMaxSide = 48;
constexpr double kBudget = 3.0e7;  // rough count of per-pixel operations
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_engine: %s\n", what.c_str());
  std::abort();
}

void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

// ---------------------------------------------------------------------------
// Input generation

std::uint64_t next(std::uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

double unit(std::uint64_t& state) { return static_cast<double>(next(state) >> 11) * 0x1p-53; }

// A smooth analytic texture, so that a shifted copy is exact at any offset.
struct Texture {
  double a[4], fx[4], fy[4], ph[4];
  double operator()(double x, double y) const {
    double v = 100.0;
    for (int k = 0; k < 4; ++k) v += a[k] * std::sin(fx[k] * x + fy[k] * y + ph[k]);
    return v;
  }
};

Texture make_texture(std::uint64_t seed) {
  std::uint64_t s = seed | 1;
  Texture t{};
  for (int k = 0; k < 4; ++k) {
    t.a[k] = 10.0 + 30.0 * unit(s);
    t.fx[k] = 0.2 + 1.2 * unit(s);
    t.fy[k] = 0.2 + 1.2 * unit(s);
    t.ph[k] = 6.283185307179586 * unit(s);
  }
  return t;
}

double pick_double(FuzzedDataProvider& in, double lo, double hi) {
  static constexpr double kHostile[] = {kNaN,  -kNaN,  kInf,     -kInf,  0.0, -0.0,
                                        1e300, -1e300, 4.9e-324, 1e-300, 0.5, -0.5};
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.PickValueInArray(kHostile);
  return lo + (hi - lo) * in.ConsumeProbability<double>();
}

std::int32_t pick_int(FuzzedDataProvider& in, std::int32_t lo, std::int32_t hi) {
  static constexpr std::int32_t kHostile[] = {kIntMin, -1, 0, 1, 4, 5, 9, 10, kIntMax - 1, kIntMax};
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.PickValueInArray(kHostile);
  return in.ConsumeIntegralInRange<std::int32_t>(lo, hi);
}

struct Case {
  GrayImage reference;
  GrayImage deformed;
  RoiMask mask;
  SeedInput seed;
  DicParameters params;
};

GrayImage make_image(FuzzedDataProvider& in, std::int32_t w, std::int32_t h, const Texture& tex,
                     double shift_x, double shift_y, std::uint64_t noise_seed) {
  GrayImage image{w, h, std::vector<double>(static_cast<std::size_t>(w) * h)};
  const int mode = in.ConsumeIntegralInRange<int>(0, 9);
  std::uint64_t s = noise_seed | 1;
  for (std::int32_t x = 0; x < w; ++x) {
    for (std::int32_t y = 0; y < h; ++y) {
      double v = tex(x - shift_x, y - shift_y);
      if (mode == 7) v = 42.0;                       // flat
      if (mode == 8) v = 255.0 * unit(s);            // white noise
      if (mode == 9 && next(s) % 97 == 0) v = kNaN;  // sprinkled NaN
      image.pixels[static_cast<std::size_t>(x) * h + y] = v;
    }
  }
  return image;
}

RoiMask make_mask(FuzzedDataProvider& in, std::int32_t w, std::int32_t h) {
  RoiMask mask{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h, 1)};
  const int mode = in.ConsumeIntegralInRange<int>(0, 4);
  if (mode == 0) return mask;
  if (mode == 1 || mode == 2) {  // one or two rectangles
    std::fill(mask.values.begin(), mask.values.end(), 0);
    for (int r = 0; r < mode; ++r) {
      const std::int32_t x0 = in.ConsumeIntegralInRange<std::int32_t>(0, w - 1);
      const std::int32_t y0 = in.ConsumeIntegralInRange<std::int32_t>(0, h - 1);
      const std::int32_t x1 = in.ConsumeIntegralInRange<std::int32_t>(x0, w - 1);
      const std::int32_t y1 = in.ConsumeIntegralInRange<std::int32_t>(y0, h - 1);
      const std::uint8_t value = in.ConsumeIntegralInRange<std::uint8_t>(1, 255);
      for (std::int32_t x = x0; x <= x1; ++x)
        for (std::int32_t y = y0; y <= y1; ++y)
          mask.values[static_cast<std::size_t>(x) * h + y] = value;
    }
    return mask;
  }
  if (mode == 3) {  // random with a given density
    const std::uint8_t density = in.ConsumeIntegral<std::uint8_t>();
    std::uint64_t s = in.ConsumeIntegral<std::uint64_t>() | 1;
    for (auto& v : mask.values) v = (next(s) & 255) < density ? 1 : 0;
    return mask;
  }
  for (auto& v : mask.values) v = in.ConsumeIntegral<std::uint8_t>();  // raw bytes
  return mask;
}

Case make_case(FuzzedDataProvider& in) {
  Case c;
  const std::int32_t w = in.ConsumeIntegralInRange<std::int32_t>(1, kMaxSide);
  const std::int32_t h = in.ConsumeIntegralInRange<std::int32_t>(1, kMaxSide);
  const Texture tex = make_texture(in.ConsumeIntegral<std::uint64_t>());
  const std::uint64_t noise = in.ConsumeIntegral<std::uint64_t>();
  c.reference = make_image(in, w, h, tex, 0.0, 0.0, noise);
  const int deformed_mode = in.ConsumeIntegralInRange<int>(0, 3);
  if (deformed_mode == 0) {
    c.deformed = c.reference;
  } else {
    const double sx = in.ConsumeIntegralInRange<int>(-400, 400) / 100.0;
    const double sy = in.ConsumeIntegralInRange<int>(-400, 400) / 100.0;
    c.deformed = make_image(in, w, h, tex, sx, sy, deformed_mode == 3 ? noise + 1 : noise);
  }
  c.mask = make_mask(in, w, h);

  // Rarely, records that disagree in size (the validation's business).
  switch (in.ConsumeIntegralInRange<int>(0, 31)) {
    case 0:
      c.deformed.width = std::max(1, w - 1);
      c.deformed.pixels.resize(static_cast<std::size_t>(c.deformed.width) * h);
      break;
    case 1:
      c.deformed = GrayImage{h, w, c.deformed.pixels};
      break;
    case 2:
      c.mask.values.pop_back();
      break;
    case 3:
      c.reference.pixels.push_back(0.0);
      break;
    case 4:
      c.mask.height = 0;
      break;
    case 5:
      c.reference.width = -w;
      break;
    case 6:
      c.mask =
          RoiMask{w, h + 1, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * (h + 1), 1)};
      break;
    default:
      break;
  }

  DicParameters& p = c.params;
  p.subset_radius = pick_int(in, 8, 26);
  p.subset_spacing = pick_int(in, 0, 9);
  p.seed_search_radius = pick_int(in, 0, 12);
  p.rg_search_radius = pick_int(in, 0, 3);
  p.roi_min_region_area = pick_int(in, 0, w * h);
  p.cutoff_diffnorm = in.ConsumeBool() ? 1e-6 : pick_double(in, 0.0, 0.012);
  p.cutoff_iteration = in.ConsumeBool() ? 10 : pick_int(in, 3, 20);
  p.num_threads = in.ConsumeBool() ? 1 : pick_int(in, 0, 4);
  p.subset_truncation = in.ConsumeBool();
  p.units_per_pixel = in.ConsumeBool() ? 1.0 : pick_double(in, -1.0, 2.0);
  p.cutoff_corrcoef = pick_double(in, -1.2, 1.2);
  p.lenscoef = pick_double(in, -1.0, 1.0);

  const double step = static_cast<double>(p.subset_spacing) + 1.0;
  if (in.ConsumeIntegralInRange<int>(0, 3) != 0 && p.subset_spacing >= 0) {
    // A point of the reduced grid, usually inside the image.
    const std::int32_t gx = in.ConsumeIntegralInRange<std::int32_t>(0, kMaxSide);
    const std::int32_t gy = in.ConsumeIntegralInRange<std::int32_t>(0, kMaxSide);
    c.seed.seed_x = gx * step;
    c.seed.seed_y = gy * step;
  } else {
    c.seed.seed_x = pick_double(in, -2.0, w + 1.0);
    c.seed.seed_y = pick_double(in, -2.0, h + 1.0);
  }
  c.seed.obs_x = pick_double(in, -10, 10);
  c.seed.obs_y = c.seed.seed_y;
  return c;
}

// ---------------------------------------------------------------------------
// Independent expectations

std::int64_t rounded(double v) { return std::llround(v); }  // only for |v| < 2^31

// Exact message of the first failing validation or ROI rule, empty if none.
std::string expected_early_failure(const Case& c) {
  const auto image_check = [](const GrayImage& im, const std::string& label) -> std::string {
    if (im.width <= 0 || im.height <= 0) return label + " dimensions must be positive.";
    if (std::int64_t{im.width} * im.height != static_cast<std::int64_t>(im.pixels.size()))
      return label + " pixel count does not match width*height.";
    return {};
  };
  std::string m = image_check(c.reference, "Reference image");
  if (m.empty()) m = image_check(c.deformed, "Deformed image");
  if (!m.empty()) return m;
  const RoiMask& mk = c.mask;
  if (mk.width <= 0 || mk.height <= 0) return "ROI mask dimensions must be positive.";
  if (std::int64_t{mk.width} * mk.height != static_cast<std::int64_t>(mk.values.size()))
    return "ROI mask value count does not match width*height.";
  if (c.reference.width != c.deformed.width || c.reference.height != c.deformed.height)
    return "Reference and deformed images must have the same dimensions.";
  if (c.reference.width != mk.width || c.reference.height != mk.height)
    return "ROI mask dimensions must match the reference image.";
  const DicParameters& p = c.params;
  if (p.subset_radius < 10) return "subset_radius must be at least 10.";
  if (p.subset_spacing < 0) return "subset_spacing must be non-negative.";
  if (p.seed_search_radius < 0) return "seed_search_radius must be non-negative.";
  if (p.rg_search_radius < 0) return "rg_search_radius must be non-negative.";
  if (p.roi_min_region_area < 0) return "roi_min_region_area must be non-negative.";
  const double x = c.seed.seed_x, y = c.seed.seed_y;
  const char* seed_msg = "Seed point must be finite, in bounds, and inside the ROI mask.";
  if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > 1e9 || std::fabs(y) > 1e9)
    return seed_msg;
  const std::int64_t xr = rounded(x), yr = rounded(y);
  if (xr < 0 || yr < 0 || xr >= mk.width || yr >= mk.height) return seed_msg;
  if (mk.values[static_cast<std::size_t>(xr * mk.height + yr)] == 0) return seed_msg;
  const double step = static_cast<double>(p.subset_spacing) + 1.0;
  if (std::fmod(x, step) != 0.0 || std::fmod(y, step) != 0.0)
    return "Seed point must be aligned to the reduced grid.";
  if (p.cutoff_diffnorm <= 0 || p.cutoff_diffnorm > 0.01)
    return "cutoff_diffnorm must be in (0, 1e-2].";
  if (p.cutoff_iteration < 5) return "cutoff_iteration must be at least 5.";
  if (p.num_threads < 1) return "num_threads must be positive.";
  if (p.units_per_pixel <= 0) return "units_per_pixel must be positive.";

  // ROI regions: 4-connected, retained when strictly larger than the area.
  if (p.subset_spacing == kIntMax) return "subset_spacing must be non-negative.";
  const std::int32_t w = mk.width, h = mk.height;
  std::vector<std::int32_t> label(mk.values.size(), -1);
  std::int32_t region = 0;
  bool any_retained = false, seed_retained = false;
  for (std::int32_t sx = 0; sx < w; ++sx) {
    for (std::int32_t sy = 0; sy < h; ++sy) {
      const std::size_t start = static_cast<std::size_t>(sx) * h + sy;
      if (mk.values[start] == 0 || label[start] >= 0) continue;
      std::deque<std::size_t> queue{start};
      label[start] = region;
      std::int64_t count = 0;
      bool holds_seed = false;
      while (!queue.empty()) {
        const std::size_t at = queue.front();
        queue.pop_front();
        ++count;
        const std::int32_t px = static_cast<std::int32_t>(at / h),
                           py = static_cast<std::int32_t>(at % h);
        if (px == xr && py == yr) holds_seed = true;
        const std::int32_t nb[4][2] = {{px - 1, py}, {px + 1, py}, {px, py - 1}, {px, py + 1}};
        for (const auto& n : nb) {
          if (n[0] < 0 || n[1] < 0 || n[0] >= w || n[1] >= h) continue;
          const std::size_t j = static_cast<std::size_t>(n[0]) * h + n[1];
          if (mk.values[j] != 0 && label[j] < 0) {
            label[j] = region;
            queue.push_back(j);
          }
        }
      }
      if (count > p.roi_min_region_area) {
        any_retained = true;
        seed_retained = seed_retained || holds_seed;
      }
      ++region;
    }
  }
  if (!any_retained) return "ROI mask does not contain a region larger than roi_min_region_area.";
  if (!seed_retained) return "Seed point is not inside any retained ROI region.";
  return {};
}

bool is_grid_point(const Case& c, std::int64_t x, std::int64_t y) {
  const RoiMask& mk = c.mask;
  const std::int64_t r = c.params.subset_radius;
  if (mk.values[static_cast<std::size_t>(x * mk.height + y)] == 0) return false;
  return c.params.subset_truncation || (x >= r && y >= r && x < mk.width - r && y < mk.height - r);
}

std::int64_t subset_size(const Case& c, std::int64_t cx, std::int64_t cy) {
  const RoiMask& mk = c.mask;
  const std::int64_t r = c.params.subset_radius;
  std::int64_t n = 0;
  for (std::int64_t x = std::max<std::int64_t>(0, cx - r);
       x <= std::min<std::int64_t>(mk.width - 1, cx + r); ++x)
    for (std::int64_t y = std::max<std::int64_t>(0, cy - r);
         y <= std::min<std::int64_t>(mk.height - 1, cy + r); ++y) {
      const std::int64_t dx = x - cx, dy = y - cy;
      if (dx * dx + dy * dy > r * r) continue;
      if (c.params.subset_truncation && mk.values[static_cast<std::size_t>(x * mk.height + y)] == 0)
        continue;
      ++n;
    }
  return n;
}

// Rough operation count of the run, assuming searches clipped to the image.
double estimated_work(const Case& c) {
  const DicParameters& p = c.params;
  const double w = c.mask.width, h = c.mask.height, area = w * h;
  const double r = std::max(0, p.subset_radius);
  const double n = std::min(area, 3.2 * r * r + 4 * r + 1);
  const double step = std::max(1.0, static_cast<double>(p.subset_spacing) + 1.0);
  const double points = std::ceil(w / step) * std::ceil(h / step);
  const double m = std::max(0, p.seed_search_radius);
  const double seed_window = m == 0 ? area : std::min(area, (2 * m + 1) * (2 * m + 1));
  const double l = std::max(0, p.rg_search_radius);
  const double rg_window = std::min(4 * area, (2 * l + 1) * (2 * l + 1));
  const double iterations = std::clamp<double>(p.cutoff_iteration, 0, 1e9);
  return 2 * seed_window * n + points * 4 * (2 * rg_window * n + 2 * iterations * n * 6);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_bits(const std::optional<dic2d::SeedMatch>& a, const std::optional<dic2d::SeedMatch>& b) {
  if (!a || !b) return a.has_value() == b.has_value();
  const auto warp = [](const dic2d::SeedMatch& m) {
    const dic2d::AffineParams& p = m.params;
    return std::vector<double>{p.u, p.v, p.du_dx, p.du_dy, p.dv_dx, p.dv_dy, m.corrcoef};
  };
  return a->centre.x == b->centre.x && a->centre.y == b->centre.y && same_bits(warp(*a), warp(*b));
}

void check_success(const Case& c, const DicResult& r) {
  const DicParameters& p = c.params;
  require(r.ok, "ok is false after a completed run");
  require(r.message == dic2d::kDicSuccessMessage, "success message differs");
  const double step = static_cast<double>(p.subset_spacing) + 1.0;
  require(r.reduced_width == static_cast<std::int32_t>(std::ceil(c.mask.width / step)),
          "reduced_width");
  require(r.reduced_height == static_cast<std::int32_t>(std::ceil(c.mask.height / step)),
          "reduced_height");
  require(r.roi_region_count >= 1 && r.seed_region >= 0 && r.seed_region < r.roi_region_count,
          "region counts");
  require(r.seed.has_value(), "no seed match");
  const std::int64_t sx = rounded(c.seed.seed_x), sy = rounded(c.seed.seed_y);
  require(r.seed->centre.x == sx && r.seed->centre.y == sy, "seed match position");

  // The grid points, recomputed.
  std::vector<dic2d::Point2> grid;
  const std::int64_t istep = std::int64_t{p.subset_spacing} + 1;
  for (std::int64_t x = 0; x < c.mask.width; x += istep)
    for (std::int64_t y = 0; y < c.mask.height; y += istep)
      if (is_grid_point(c, x, y)) grid.push_back({static_cast<double>(x), static_cast<double>(y)});
  require(grid == r.reference_grid_points, "reference grid points differ");
  const std::size_t n = grid.size();
  require(r.fields.deformed_points.size() == n && r.fields.u.size() == n &&
              r.fields.v.size() == n && r.fields.du_dx.size() == n && r.fields.du_dy.size() == n &&
              r.fields.dv_dx.size() == n && r.fields.dv_dy.size() == n &&
              r.fields.corrcoef.size() == n && r.fields.valid.size() == n,
          "per-point array lengths");
  std::size_t seed_index = n;
  for (std::size_t i = 0; i < n; ++i)
    if (grid[i][0] == static_cast<double>(sx) && grid[i][1] == static_cast<double>(sy))
      seed_index = i;
  require(seed_index < n, "seed is not a grid point after a completed run");
  const std::size_t s = seed_index;
  require(r.fields.valid[s] == 1, "seed not stored");
  require(r.fields.u[s] == r.seed->params.u ||
              (std::isnan(r.fields.u[s]) && std::isnan(r.seed->params.u)),
          "seed u");
  for (std::size_t i = 0; i < n; ++i) {
    require(r.fields.valid[i] == 0 || r.fields.valid[i] == 1, "valid flag not 0/1");
    if (r.fields.valid[i] == 0) {
      require(r.fields.u[i] == 0 && r.fields.v[i] == 0 && r.fields.du_dx[i] == 0 &&
                  r.fields.du_dy[i] == 0 && r.fields.dv_dx[i] == 0 && r.fields.dv_dy[i] == 0 &&
                  r.fields.corrcoef[i] == 0 && r.fields.deformed_points[i][0] == 0 &&
                  r.fields.deformed_points[i][1] == 0,
              "unsolved point holds values");
      continue;
    }
    require(
        r.fields.deformed_points[i][0] == grid[i][0] + r.fields.u[i] || std::isnan(r.fields.u[i]),
        "deformed x != x + u");
    require(
        r.fields.deformed_points[i][1] == grid[i][1] + r.fields.v[i] || std::isnan(r.fields.v[i]),
        "deformed y != y + v");
    if (i != s)
      require(!(r.fields.corrcoef[i] < p.cutoff_corrcoef), "accepted point below the cutoff");
  }
}

void check_output_file(const DicResult& r, std::int32_t spacing) {
  static const std::string path = "/dev/shm/fuzz_engine-" + std::to_string(::getpid()) + ".bin";
  dic2d::write_output_binary(path, r, spacing);
  struct stat st {};
  require(::stat(path.c_str(), &st) == 0, "output file missing");
  const std::int64_t cells = std::int64_t{r.reduced_width} * r.reduced_height;
  require(st.st_size == 8 + 89 * cells, "output file size");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  require(f != nullptr, "output file unreadable");
  std::vector<unsigned char> bytes(static_cast<std::size_t>(st.st_size));
  require(std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size(), "output read");
  std::fclose(f);
  std::int32_t header[2];
  std::memcpy(header, bytes.data(), 8);
  require(header[0] == r.reduced_width && header[1] == r.reduced_height, "output header");
  std::int64_t valid_in_file = 0;
  for (std::int64_t k = 0; k < cells; ++k)
    valid_in_file += bytes[static_cast<std::size_t>(8 + 88 * cells + k)];
  std::int64_t valid = 0;
  for (const auto v : r.fields.valid) valid += v;
  require(valid_in_file == valid, "valid flags in the file");
  ::unlink(path.c_str());
}

const char* const kLateFailures[] = {
    "Seed subset has too few pixels for NCC.",
    "Seed subset has near-zero reference texture.",
    "NCC initial guess failed to find a valid candidate.",
    "Seed point is not part of the reduced reference grid.",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Case c = make_case(in);
  const std::string early = expected_early_failure(c);
  if (early.empty() && estimated_work(c) > kBudget) return -1;  // too slow for one input

  DicResult result;
  try {
    result = dic2d::run_dic2d(c.reference, c.deformed, c.mask, c.seed, c.params);
  } catch (const std::exception& ex) {
    const std::string got = ex.what();
    if (!early.empty()) {
      if (got != early) fail("expected '" + early + "', got '" + got + "'");
      return 0;
    }
    bool known = false;
    for (const char* m : kLateFailures) known = known || got == m;
    if (!known) fail("unexpected failure '" + got + "'");
    const std::int64_t sx = rounded(c.seed.seed_x), sy = rounded(c.seed.seed_y);
    const std::int64_t n = subset_size(c, sx, sy);
    if ((n < 3) != (got == kLateFailures[0]))
      fail("subset size " + std::to_string(n) + " but '" + got + "'");
    if (got == kLateFailures[3] && is_grid_point(c, sx, sy))
      fail("seed is a grid point but '" + got + "'");
    return 0;
  }
  if (!early.empty()) fail("completed, expected '" + early + "'");
  check_success(c, result);
  check_output_file(result, c.params.subset_spacing);
  if (result.reference_grid_points.size() <= 64) {
    const DicResult again = dic2d::run_dic2d(c.reference, c.deformed, c.mask, c.seed, c.params);
    require(same_bits(again.fields.u, result.fields.u) &&
                same_bits(again.fields.v, result.fields.v) &&
                same_bits(again.fields.corrcoef, result.fields.corrcoef) &&
                same_bits(again.fields.du_dx, result.fields.du_dx) &&
                same_bits(again.seed, result.seed) && again.fields.valid == result.fields.valid,
            "two identical runs differ");
  }
  return 0;
}
