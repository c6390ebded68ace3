#include "fileprovider/fpctl/mount/replace_sequence.h"

#include <cstdio>
#include <random>

#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl::mount {
namespace {

// The name a replaced item is moved to until the item that replaces it is in place.
std::string asideName(const std::string& filename) {
  static thread_local std::mt19937 rng{std::random_device{}()};
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rng()));
  return "." + filename.substr(0, 200) + ".fpctl-replaced-" + tag;
}

}  // namespace

Replacement replaceItem(const ProviderClient& provider, const ReplaceRequest& r,
                        const ItemReader& reread, const FailureLogger& logFailure) {
  Replacement out;
  const ItemState& target = r.target;
  std::string aside = asideName(target.filename);
  auto asideResult =
      provider.modify(fpctl::TemplateItem::named(target.identifier, target.parent, aside),
                      target.version, fp::field::kFilename, std::nullopt);
  if (!asideResult) {
    out.err = logFailure("rename", r.targetWhat, asideResult.error());
    out.transient = fp::isTransient(asideResult.error());
    return out;
  }
  ItemState asideItem = target;
  asideItem.filename = aside;
  asideItem = reread(*asideResult, asideItem);

  ItemState expected = r.source;
  expected.parent = r.newParent;
  expected.filename = r.newName;
  auto moved =
      provider.modify(fpctl::TemplateItem::named(r.source.identifier, r.newParent, r.newName),
                      r.source.version, r.fields, std::nullopt);
  if (!moved) {
    out.err = logFailure("rename", r.what, moved.error());
    out.transient = fp::isTransient(moved.error());
    auto back = provider.modify(
        fpctl::TemplateItem::named(target.identifier, target.parent, target.filename),
        asideItem.version, fp::field::kFilename, std::nullopt);
    if (!back) {
      logFailure("restore", r.targetWhat + " (now named " + aside + ")", back.error());
      out.leftAside = asideItem;
    }
    return out;
  }
  out.moved = reread(*moved, expected);

  auto removed = provider.remove(target.identifier, asideItem.version, target.isFolder);
  if (!removed) {
    logFailure("delete", r.targetWhat + " (replaced, left as " + aside + ")", removed.error());
    out.leftAside = asideItem;
  } else {
    out.targetDeleted = true;
  }
  return out;
}

}  // namespace fpctl::mount
