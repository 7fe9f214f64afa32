#include "cli/annotate.h"

#include <array>
#include <cstdio>

namespace velmora::computer_use::cli {
namespace {

using nlohmann::json;

std::string Number(double value) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f", value);
  return text.data();
}

double Member(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_number() ? found->get<double>() : 0.0;
}

std::string StringMember(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

std::string Base64(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    const std::uint32_t chunk = (std::uint32_t{bytes[i]} << 16) |
                                (left > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                                (left > 2 ? std::uint32_t{bytes[i + 2]} : 0);
    text += kAlphabet[(chunk >> 18) & 63];
    text += kAlphabet[(chunk >> 12) & 63];
    text += left > 1 ? kAlphabet[(chunk >> 6) & 63] : '=';
    text += left > 2 ? kAlphabet[chunk & 63] : '=';
  }
  return text;
}

std::string XmlEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          escaped += "\xEF\xBF\xBD";
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

std::string AnnotatedSvg(const json& observation, const std::vector<std::uint8_t>& image,
                         std::size_t& boxes) {
  const json& shot = observation.at("screenshot");
  const json& window = observation.at("windowBounds");
  const double width = Member(shot, "width");
  const double height = Member(shot, "height");
  // The picture shows the window's bounds, possibly scaled down.
  const double windowWidth = Member(window, "width");
  const double windowHeight = Member(window, "height");
  const double scaleX = windowWidth > 0 ? width / windowWidth : 1.0;
  const double scaleY = windowHeight > 0 ? height / windowHeight : 1.0;
  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(width) + "\" height=\"" +
         Number(height) + "\" viewBox=\"0 0 " + Number(width) + " " + Number(height) + "\">\n";
  svg += "<image x=\"0\" y=\"0\" width=\"" + Number(width) + "\" height=\"" + Number(height) +
         "\" href=\"data:" + XmlEscape(StringMember(shot, "mediaType")) + ";base64," +
         Base64(image) + "\"/>\n";
  svg +=
      "<g fill=\"none\" stroke=\"#e0157a\" stroke-width=\"2\" font-family=\"sans-serif\" "
      "font-size=\"13\">\n";
  boxes = 0;
  const auto targets = observation.find("targets");
  if (targets == observation.end() || !targets->is_array()) return svg + "</g>\n</svg>\n";
  for (const json& node : *targets) {
    if (!node.is_object() || !node.contains("bounds") || !node["bounds"].is_object()) continue;
    const json& bounds = node["bounds"];
    const double x = (Member(bounds, "x") - Member(window, "x")) * scaleX;
    const double y = (Member(bounds, "y") - Member(window, "y")) * scaleY;
    const std::string label =
        XmlEscape(StringMember(node, "id") + " " + StringMember(node, "role"));
    svg += "<g class=\"element\"><title>" + XmlEscape(StringMember(node, "name")) +
           "</title><rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" +
           Number(Member(bounds, "width") * scaleX) + "\" height=\"" +
           Number(Member(bounds, "height") * scaleY) + "\"/><text x=\"" + Number(x + 3) +
           "\" y=\"" + Number(y + 14) + "\" fill=\"#e0157a\" stroke=\"#ffffff\" " +
           "stroke-width=\"3\" paint-order=\"stroke\">" + label + "</text></g>\n";
    ++boxes;
  }
  return svg + "</g>\n</svg>\n";
}

}  // namespace velmora::computer_use::cli
