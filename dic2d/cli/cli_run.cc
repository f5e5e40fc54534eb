#include "dic2d/cli/cli_run.h"

#include <exception>
#include <string>

#include "dic2d/cli/options.h"
#include "dic2d/cli/report.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/result.h"
#include "dic2d/engine/run_dic2d.h"
#include "dic2d/io/image_files.h"
#include "dic2d/io/output_file.h"

namespace dic2d {

namespace {

DicParameters read_parameters(const OptionMap& options) {
  DicParameters p;
  p.subset_radius = int_option(options, "subset-radius", p.subset_radius);
  p.subset_spacing = int_option(options, "subset-spacing", p.subset_spacing);
  p.seed_search_radius = int_option(options, "seed-search-radius", p.seed_search_radius);
  p.rg_search_radius = int_option(options, "rg-search-radius", p.rg_search_radius);
  p.roi_min_region_area = int_option(options, "roi-min-region-area", p.roi_min_region_area);
  p.cutoff_diffnorm = double_option(options, "cutoff-diffnorm", p.cutoff_diffnorm);
  p.cutoff_iteration = int_option(options, "cutoff-iteration", p.cutoff_iteration);
  p.num_threads = int_option(options, "num-threads", p.num_threads);
  p.subset_truncation = flag_option(options, "subset-truncation", p.subset_truncation);
  p.units_per_pixel = double_option(options, "units-per-pixel", p.units_per_pixel);
  p.cutoff_corrcoef = double_option(options, "cutoff-corrcoef", p.cutoff_corrcoef);
  p.lenscoef = double_option(options, "lenscoef", p.lenscoef);
  p.criterion = criterion_option(options, "criterion", p.criterion);
  p.interpolation = interpolation_option(options, "interpolation", p.interpolation);
  p.smoothing_sigma = double_option(options, "smoothing-sigma", p.smoothing_sigma);
  p.seed_guess_u = double_option(options, "seed-guess-u", p.seed_guess_u);
  p.seed_guess_v = double_option(options, "seed-guess-v", p.seed_guess_v);
  return p;
}

SeedInput read_seed(const OptionMap& options) {
  SeedInput seed;
  seed.seed_x = double_option(options, "seed-x", 0.0);
  seed.seed_y = double_option(options, "seed-y", 0.0);
  seed.obs_x = double_option(options, "obs-x", seed.seed_x);
  seed.obs_y = double_option(options, "obs-y", seed.seed_y);
  return seed;
}

// Writes the line and reports whether it reached the stream.
bool emit(std::ostream& out, const std::string& line) {
  out << line;
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

int run_cli(int argc, const char* const* argv, std::ostream& out) {
  std::string line;
  int status = 1;
  try {
    const OptionMap options = pair_arguments(argc, argv);
    // Each file is read in full before the next key is looked up.
    const GrayImage reference = load_image_binary(required_option(options, "reference"));
    const GrayImage deformed = load_image_binary(required_option(options, "deformed"));
    const RoiMask mask = load_mask_binary(required_option(options, "mask"));
    const DicParameters params = read_parameters(options);
    const SeedInput seed = read_seed(options);

    const DicResult result = run_dic2d(reference, deformed, mask, seed, params);

    const auto output = options.find("output");
    if (output != options.end()) {
      write_output_binary(output->second, result, params.subset_spacing);
    }
    line = success_line(result);
    status = result.ok ? 0 : 10;
  } catch (const std::exception& error) {
    line = failure_line(error.what());
    status = 1;
  }
  // A report that cannot be delivered is a failed run.
  return emit(out, line) ? status : 1;
}

}  // namespace dic2d
