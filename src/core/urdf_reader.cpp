// URDF text -> robot, link and joint records. Numbers are parsed strictly and
// independently of the process locale; every malformed item is reported with
// the element, attribute and value it came from.
#include <charconv>
#include <optional>
#include <cmath>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "trelvar/error.hpp"
#include "trelvar/urdf.hpp"

namespace trelvar::urdf {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// "joint 'elbow'" / "link 'base'": who a message is about.
std::string owner(const char* kind, const std::string& name) {
  return std::string(kind) + " '" + name + "'";
}

// Splits on whitespace; every token must be a complete finite number.
bool parse_numbers(std::string_view text, std::vector<double>& out, std::string& bad_token) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    if (i == text.size()) break;
    std::size_t j = i;
    while (j < text.size() && !is_space(text[j])) ++j;
    std::string_view token = text.substr(i, j - i);
    std::string_view digits = token;
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
      bad_token = std::string(token);
      return false;
    }
    out.push_back(value);
    i = j;
  }
  return true;
}

// The numbers of attribute `attr` of element `elem`, exactly `count` of them.
std::vector<double> numbers(const pugi::xml_node& elem, const char* attr, std::size_t count,
                            const std::string& who) {
  const pugi::xml_attribute a = elem.attribute(attr);
  if (!a) {
    throw Error(who + ": " + elem.name() + " is missing attribute '" + attr + "'");
  }
  const std::string_view text = a.value();
  std::vector<double> values;
  std::string bad;
  if (!parse_numbers(text, values, bad)) {
    throw Error(who + ": " + elem.name() + " attribute '" + attr + "' is not a finite number: '" +
                std::string(text) + "'");
  }
  if (values.size() != count) {
    throw Error(who + ": " + elem.name() + " attribute '" + attr + "' has " +
                std::to_string(values.size()) + " value" + (values.size() == 1 ? "" : "s") +
                ", expected " + std::to_string(count) + ": '" + std::string(text) + "'");
  }
  return values;
}

double number(const pugi::xml_node& elem, const char* attr, const std::string& who) {
  return numbers(elem, attr, 1, who)[0];
}

Vec3 vec3(const pugi::xml_node& elem, const char* attr, const std::string& who, const Vec3& absent) {
  if (!elem.attribute(attr)) return absent;
  const std::vector<double> v = numbers(elem, attr, 3, who);
  return Vec3(v[0], v[1], v[2]);
}

Origin origin(const pugi::xml_node& parent, const std::string& who) {
  Origin o;
  const pugi::xml_node node = parent.child("origin");
  if (!node) return o;
  o.xyz = vec3(node, "xyz", who, Vec3::Zero());
  o.rpy = vec3(node, "rpy", who, Vec3::Zero());
  return o;
}

std::string required_name(const pugi::xml_node& elem, const char* kind, std::size_t index) {
  const pugi::xml_attribute a = elem.attribute("name");
  if (!a) {
    throw Error(std::string(kind) + " number " + std::to_string(index + 1) +
                " has no attribute 'name'");
  }
  return a.value();
}

JointType joint_kind(const pugi::xml_node& elem, const std::string& who) {
  const pugi::xml_attribute a = elem.attribute("type");
  if (!a) throw Error(who + ": joint is missing attribute 'type'");
  const std::string_view t = a.value();
  if (const std::optional<JointType> type = joint_type_from_label(t)) return *type;
  throw Error(who + ": joint attribute 'type' is not a known joint type: '" + std::string(t) + "'");
}

std::string link_reference(const pugi::xml_node& joint, const char* element,
                           const std::string& who) {
  const pugi::xml_node node = joint.child(element);
  if (!node) throw Error(who + ": joint has no <" + element + "> element");
  const pugi::xml_attribute a = node.attribute("link");
  if (!a) throw Error(who + ": " + element + " is missing attribute 'link'");
  return a.value();
}

LinkRecord read_link(const pugi::xml_node& node, std::size_t index) {
  LinkRecord link;
  link.name = required_name(node, "link", index);
  const std::string who = owner("link", link.name);
  const pugi::xml_node inertial = node.child("inertial");
  if (!inertial) return link;
  link.inertial_origin = origin(inertial, who);
  if (const pugi::xml_node mass = inertial.child("mass")) link.mass = number(mass, "value", who);
  if (const pugi::xml_node in = inertial.child("inertia")) {
    link.ixx = number(in, "ixx", who);
    link.ixy = number(in, "ixy", who);
    link.ixz = number(in, "ixz", who);
    link.iyy = number(in, "iyy", who);
    link.iyz = number(in, "iyz", who);
    link.izz = number(in, "izz", who);
  }
  return link;
}

JointRecord read_joint(const pugi::xml_node& node, std::size_t index) {
  JointRecord joint;
  joint.name = required_name(node, "joint", index);
  const std::string who = owner("joint", joint.name);
  joint.kind = joint_kind(node, who);
  joint.parent_link = link_reference(node, "parent", who);
  joint.child_link = link_reference(node, "child", who);
  joint.origin = origin(node, who);
  if (const pugi::xml_node axis = node.child("axis")) {
    joint.axis = vec3(axis, "xyz", who, Vec3(1.0, 0.0, 0.0));
  }
  if (const pugi::xml_node limit = node.child("limit")) {
    if (limit.attribute("lower")) joint.lower = number(limit, "lower", who);
    if (limit.attribute("upper")) joint.upper = number(limit, "upper", who);
  }
  return joint;
}

}  // namespace

RobotRecord read_robot(const std::string& text) {
  pugi::xml_document doc;
  // Default parsing: no entity expansion beyond the five predefined ones and
  // character references, and never any external access.
  const pugi::xml_parse_result parsed =
      doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    throw Error(std::string("XML error at offset ") + std::to_string(parsed.offset) + ": " +
                parsed.description());
  }
  const pugi::xml_node root = doc.document_element();
  if (std::string_view(root.name()) != "robot") {
    throw Error(std::string("root element is <") + root.name() + ">, expected <robot>");
  }
  RobotRecord robot;
  robot.name = root.attribute("name").value();
  std::size_t nlinks = 0, njoints = 0;
  for (const pugi::xml_node& node : root.children()) {
    const std::string_view name = node.name();
    if (name == "link") {
      robot.links.push_back(read_link(node, nlinks++));
    } else if (name == "joint") {
      robot.joints.push_back(read_joint(node, njoints++));
    }
  }
  return robot;
}

}  // namespace trelvar::urdf
