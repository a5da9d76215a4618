#pragma once

#include <string>
#include <string_view>
#include <vector>

// Decides whether a tunnel service runs this service's configuration file.
namespace morvex {

// Whether two Windows paths name the same file, compared component by
// component: "\" and "/" both separate components, empty and "." components
// are ignored, a leading drive letter ("C:") matches in either case, and every
// other component must match exactly, letter case included.
bool same_windows_path(std::string_view a, std::string_view b);

// Whether any of the service's command-line arguments names `configuration`.
bool names_configuration(const std::vector<std::string>& arguments, std::string_view configuration);

}  // namespace morvex
