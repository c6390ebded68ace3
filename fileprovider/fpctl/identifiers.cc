#include "fileprovider/fpctl/identifiers.h"

namespace fpctl {

std::optional<fp::ItemIdentifier> containerAlias(std::string_view arg) {
  if (arg == "@root") return fp::ItemIdentifier(fp::kRootContainer);
  if (arg == "@workingset") return fp::ItemIdentifier(fp::kWorkingSetContainer);
  if (arg == "@trash") return fp::ItemIdentifier(fp::kTrashContainer);
  return std::nullopt;
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

fp::StatusOr<fp::ItemIdentifier> resolveIdentifier(std::string_view arg,
                                                   const ChildLister& children) {
  if (auto alias = containerAlias(arg)) return *alias;
  if (arg.empty() || arg.front() != '/') return fp::ItemIdentifier(arg);

  fp::ItemIdentifier current(fp::kRootContainer);
  std::string walked;
  for (const std::string& name : pathComponents(arg)) {
    auto listed = children(current);
    if (!listed) return fp::propagate(listed);
    const fp::Item* match = nullptr;
    for (const auto& child : *listed) {
      if (child && child->filename() == name) {
        match = child.get();
        break;
      }
    }
    if (!match) {
      fp::Error e = fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem);
      e.message = "no item named \"" + name + "\" in " + (walked.empty() ? "/" : walked);
      return fp::fail(std::move(e));
    }
    current = match->itemIdentifier();
    walked += "/" + name;
  }
  return current;
}

}  // namespace fpctl
