// Bundle discovery and the registry: the installed bundles are found through
// the entry-point group "korvane.machine_bundles", every provider's metadata
// is validated, and the accepted bundles are listed in machine_id order.
#pragma once

#include <vector>

#include "errors.hpp"
#include "provider_metadata.hpp"

namespace korvane {

// One fresh discovery, for Runtime.discover(): the records of the accepted
// bundles in ascending byte order of machine_id. All or nothing: the first
// failure ends the call.
Result<std::vector<BundleProvider>> discover_providers();

// The same over the entry points `entry_points` iterates, whatever group they
// are in: for korvane_tools, which leaves out bundles it found broken.
Result<std::vector<BundleProvider>> discover_providers_from(PyObject* entry_points);

// discover_bundles(): the listing text of a fresh discovery, as a str.
Result<PyRef> discover_bundles_listing();

// Runtime.bundles(): the listing text of a registry, as a str.
Result<PyRef> bundle_listing(const std::vector<BundleProvider>& providers);

}  // namespace korvane
