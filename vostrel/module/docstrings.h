#pragma once
// Docstrings of the module's functions, in numpydoc sections: every argument
// and every result key with its dtype, shape, unit and meaning.

#include <string>

namespace vostrel::binding {

std::string reconstruct_tracks_doc();
std::string reconstruct_pair_surface_points_doc();
std::string compute_surface_deformation_doc();

}  // namespace vostrel::binding
