#include "fileprovider/fpctl/mount/mount_table.h"

#include <fstream>
#include <sstream>

namespace fpctl::mount {
namespace {

// Paths in the table write blanks and such as \ooo.
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

MountEntry mountAt(const std::filesystem::path& path) {
  std::ifstream table("/proc/self/mountinfo");
  MountEntry found;
  for (std::string line; std::getline(table, line);) {
    // id parent major:minor root mount-point options [optional...] - type source ...
    std::istringstream fields(line);
    std::string id, parent, device, root, point, field;
    fields >> id >> parent >> device >> root >> point;
    if (unescape(point) != path.string()) continue;
    while (fields >> field && field != "-") {
    }
    found.device = device;
    fields >> found.type;
  }
  return found;
}

}  // namespace fpctl::mount
