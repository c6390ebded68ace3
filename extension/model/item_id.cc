#include "extension/model/item_id.h"

namespace pellora::ItemID {

std::string folder(std::string_view ulid) {
  std::string id(folderPrefix);
  id += ulid;
  return id;
}

std::string file(std::string_view ulid) {
  std::string id(filePrefix);
  id += ulid;
  return id;
}

std::optional<Parsed> parse(std::string_view identifier) {
  if (identifier.starts_with(folderPrefix)) {
    return Parsed{std::string(identifier.substr(folderPrefix.size())), true};
  }
  if (identifier.starts_with(filePrefix)) {
    return Parsed{std::string(identifier.substr(filePrefix.size())), false};
  }
  return std::nullopt;
}

}  // namespace pellora::ItemID
