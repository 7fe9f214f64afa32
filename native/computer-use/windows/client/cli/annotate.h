// The picture a parent author looks at to pick an id: the observation's screenshot with every
// element's box, id and role drawn over it, as one self-contained SVG file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::computer_use::cli {

// Standard base64 with padding, as a data: URI wants it.
std::string Base64(const std::vector<std::uint8_t>& bytes);

// Text fit for an XML attribute or element: markup characters as entities, and the control
// characters XML 1.0 cannot carry as U+FFFD.
std::string XmlEscape(std::string_view text);

// `observation` is an observe result with "windowBounds", "targets" and "screenshot"; `image`
// the screenshot frame's payload. Element bounds are screen pixels, mapped onto the picture.
// `boxes` receives how many elements were drawn.
std::string AnnotatedSvg(const nlohmann::json& observation, const std::vector<std::uint8_t>& image,
                         std::size_t& boxes);

}  // namespace velmora::computer_use::cli
