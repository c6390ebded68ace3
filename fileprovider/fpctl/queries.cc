// The commands that read: domains, item, ls, tree, anchor and changes.
#include <optional>
#include <set>
#include <string>

#include "fileprovider/fpctl/command_groups.h"
#include "fileprovider/fpctl/command_run.h"

namespace fpctl {

namespace {

// A tree deeper than this is taken for a cycle in the extension's answers.
constexpr int kMaxTreeDepth = 256;

// The container operand, @root when it is left out.
std::string containerOperand(const CommandRun& run) {
  return run.line().operands.empty() ? "@root" : run.line().operands[0];
}

// The failure of listing `arg`, a raw identifier that names no item (the
// listing came back empty): "no such item", as for any other missing item,
// with the path of display names that was likely meant ("Projects" for
// "/Projects") when one exists. None when the item exists, and for the root,
// the working set and the trash.
std::optional<fp::Error> missingContainer(const CommandRun& run, const std::string& arg,
                                          const fp::ItemIdentifier& id) {
  if (id == fp::kWorkingSetContainer || id == fp::kTrashContainer || id == fp::kRootContainer)
    return std::nullopt;
  if (auto item = run.runner().item(id); item && *item) return std::nullopt;
  fp::Error e = fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem);
  e.message = "no item has the identifier \"" + arg + "\"";
  if (!arg.empty() && arg.front() != '/' && run.resolve("/" + arg))
    e.message += "; did you mean /" + arg + "?";
  return e;
}

// What an empty listing of `arg` means, said so that it does not pass for an
// empty folder: a file, or no index yet. The extension's answer itself is left
// as it is. None for the working set and the trash.
std::optional<std::string> emptyListingNote(const CommandRun& run, const std::string& arg,
                                            const fp::ItemIdentifier& id) {
  if (id == fp::kWorkingSetContainer || id == fp::kTrashContainer) return std::nullopt;
  auto item = run.runner().item(id);
  bool isRoot = id == fp::kRootContainer;
  if (!item || !*item) {
    if (isRoot)
      return "the extension lists nothing and has no root item: it has no index yet (has the "
             "host application run?)";
    return "no item has the identifier \"" + arg + "\"; nothing to list";
  }
  if (!isFolder(**item)) return arg + " is a file, not a folder; nothing to list";
  if (isRoot)
    return "the root lists no items: the account is empty, or the extension has no index yet "
           "(has the host application run?)";
  return arg + " is an empty folder";
}

int domains(CommandRun& run) {
  auto records = run.env().registry();
  if (!records) return run.failed(records.error(), "reading the domain registry");
  Json list = Json::array();
  for (const auto& r : *records) list.push_back(domainJson(r));
  Json j;
  j["domains"] = std::move(list);
  return run.succeed(j, domainsTable(*records));
}

int item(CommandRun& run) {
  auto id = run.resolve(run.line().operands[0]);
  if (!id) return run.failed(id.error());
  auto item = run.runner().item(*id);
  if (!item) return run.failed(item.error());
  Json j;
  j["item"] = itemJson(*item);
  return run.succeed(j, itemDetails(**item, run.env().text));
}

int ls(CommandRun& run) {
  const CommandLine& cl = run.line();
  std::string arg = containerOperand(run);
  auto id = run.resolve(arg);
  if (!id) return run.failed(id.error());
  auto page =
      run.runner().listPage(*id, cl.page ? fp::Page(*cl.page) : fp::kInitialPageSortedByName);
  if (!page) return run.failed(page.error());
  if (page->items.empty() && !cl.page) {
    if (auto missing = missingContainer(run, arg, *id)) return run.failed(*missing);
    if (auto note = emptyListingNote(run, arg, *id)) run.note(std::move(*note));
  }
  Json j;
  j["items"] = itemsJson(page->items);
  j["nextPage"] = page->nextPage ? Json(*page->nextPage) : Json(nullptr);
  int status = run.succeed(j, listingTable(page->items, run.env().text));
  if (!cl.global.json && page->nextPage)
    run.env().err << "more items: fpctl ls " << arg << " --page '" << *page->nextPage << "'\n";
  return status;
}

fp::StatusOr<TreeNode> walk(const Runner& runner, const fp::ItemIdentifier& id, fp::ItemPtr item,
                            int depth, std::set<fp::ItemIdentifier>& visited) {
  TreeNode node;
  node.identifier = id;
  node.item = std::move(item);
  // A container seen before (or too deep) is shown but not listed again.
  if (depth > kMaxTreeDepth || !visited.insert(id).second) return node;
  auto children = runner.listAll(id);
  if (!children) return fp::propagate(children);
  node.listed = true;
  for (auto& child : *children) {
    if (!child) continue;
    fp::ItemIdentifier childId = child->itemIdentifier();
    if (isFolder(*child)) {
      auto sub = walk(runner, childId, child, depth + 1, visited);
      if (!sub) return fp::propagate(sub);
      node.children.push_back(std::move(*sub));
    } else {
      TreeNode leaf;
      leaf.identifier = std::move(childId);
      leaf.item = std::move(child);
      node.children.push_back(std::move(leaf));
    }
  }
  return node;
}

int tree(CommandRun& run) {
  std::string arg = containerOperand(run);
  auto id = run.resolve(arg);
  if (!id) return run.failed(id.error());
  // The top is shown by its item when the extension has one (the working set
  // and the trash have none); its listing is what matters.
  auto top = run.runner().item(*id);
  std::set<fp::ItemIdentifier> visited;
  auto node = walk(run.runner(), *id, top ? *top : nullptr, 0, visited);
  if (!node) return run.failed(node.error());
  if (node->children.empty()) {
    if (auto missing = missingContainer(run, arg, *id)) return run.failed(*missing);
    if (auto note = emptyListingNote(run, arg, *id)) run.note(std::move(*note));
  }
  Json j;
  j["tree"] = treeJson(*node);
  return run.succeed(j, treeText(*node));
}

int anchor(CommandRun& run) {
  auto id = run.resolve(containerOperand(run));
  if (!id) return run.failed(id.error());
  auto anchor = run.runner().currentAnchor(*id);
  if (!anchor) return run.failed(anchor.error());
  Json j;
  j["anchor"] = *anchor ? Json(**anchor) : Json(nullptr);
  return run.succeed(j, (*anchor ? **anchor : std::string("(no anchor)")) + "\n");
}

int changes(CommandRun& run) {
  const CommandLine& cl = run.line();
  auto id = run.resolve(cl.operands[0]);
  if (!id) return run.failed(id.error());
  auto changes = run.runner().changes(*id, fp::SyncAnchor(cl.operands[1]));
  if (!changes) {
    fp::Error e = changes.error();
    if (e.isFileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired) && e.message.empty()) {
      e.message = "the index changed since that anchor; list " + cl.operands[0] +
                  " again and take a new anchor (fpctl anchor " + cl.operands[0] + ")";
    }
    return run.failed(e);
  }
  Json j;
  j["anchor"] = changes->anchor;
  j["moreComing"] = changes->moreComing;
  j["updated"] = itemsJson(changes->updated);
  Json deleted = Json::array();
  for (const auto& d : changes->deleted) deleted.push_back(d);
  j["deleted"] = std::move(deleted);

  std::string text;
  if (changes->updated.empty() && changes->deleted.empty()) {
    text = "no changes\n";
  } else {
    if (!changes->updated.empty())
      text += "updated:\n" + listingTable(changes->updated, run.env().text);
    for (const auto& d : changes->deleted) text += "deleted: " + d + "\n";
  }
  text += "anchor: " + changes->anchor + (changes->moreComing ? " (more coming)" : "") + "\n";
  return run.succeed(j, text);
}

}  // namespace

std::vector<CommandSpec> queryCommands() {
  return {
      {.name = "domains",
       .operands = "",
       .minOperands = 0,
       .maxOperands = 0,
       .summary = "list the registered domains and their extension bundles",
       .details = "Reads the domain registry ($FILEPROVIDER_STATE/domains.json). Loads no "
                  "extension.",
       .options = {},
       .run = domains,
       .needsExtension = false},
      {.name = "item",
       .operands = "ID",
       .minOperands = 1,
       .maxOperands = 1,
       .summary = "show one item",
       .details = "Asks the extension for the item with identifier ID.",
       .options = {},
       .run = item},
      {.name = "ls",
       .operands = "[CONTAINER]",
       .minOperands = 0,
       .maxOperands = 1,
       .summary = "list a container (default @root)",
       .details = "Lists one page of the container's children, in the order the extension gives\n"
                  "them. The listing starts at the initial page unless --page is given; the page\n"
                  "the extension hands back, if any, is shown as the next page.",
       .options = {{"page", "TEXT", "start at this page (its UTF-8 text)",
                    [](CommandLine& cl, const std::string& v) -> std::optional<std::string> {
                      cl.page = v;
                      return std::nullopt;
                    }}},
       .run = ls},
      {.name = "tree",
       .operands = "[CONTAINER]",
       .minOperands = 0,
       .maxOperands = 1,
       .summary = "show a container and everything below it",
       .details = "Walks the container (default @root) folder by folder, following every page.",
       .options = {},
       .run = tree},
      {.name = "anchor",
       .operands = "[CONTAINER]",
       .minOperands = 0,
       .maxOperands = 1,
       .summary = "show the current sync anchor of a container",
       .details = "Asks the container's enumerator (default @root) for its current sync anchor.",
       .options = {},
       .run = anchor},
      {.name = "changes",
       .operands = "CONTAINER ANCHOR",
       .minOperands = 2,
       .maxOperands = 2,
       .summary = "list the changes since an anchor",
       .details = "Asks the container's enumerator for the changes since ANCHOR (the UTF-8 text\n"
                  "that `anchor` printed). An anchor is a bookmark in the index: it is for a\n"
                  "program that keeps its own copy of a listing and wants to catch up without\n"
                  "listing everything again. The extension keeps no history of changes, so any\n"
                  "change since ANCHOR (and any ANCHOR it did not hand out) is answered with\n"
                  "\"sync anchor expired\" (error -1002): the caller then lists the container\n"
                  "again (fpctl ls or tree) and takes a fresh anchor (fpctl anchor) for the next\n"
                  "time. With no change since ANCHOR the answer is \"no changes\".",
       .options = {},
       .run = changes},
  };
}

}  // namespace fpctl
