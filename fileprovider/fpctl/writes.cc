// The commands that change items: create, modify and delete.
#include <charconv>
#include <cstdint>

#include "fileprovider/fpctl/command_groups.h"
#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/requests/template_item.h"

namespace fpctl {

namespace {

using Mistake = std::optional<std::string>;

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// --folder, --type and --no-type each choose the template's content type.
Mistake chooseType(CommandLine& cl, std::optional<std::string> type) {
  if (cl.typeGiven) return "give only one of --folder, --type and --no-type";
  cl.typeGiven = true;
  cl.contentType = std::move(type);
  return std::nullopt;
}

Mistake setContents(CommandLine& cl, const std::string& v) {
  cl.contents = std::filesystem::path(v);
  return std::nullopt;
}

int itemChange(CommandRun& run, const fp::StatusOr<ItemChange>& result, const std::string& verb) {
  if (!result) return run.failed(result.error());
  Json j;
  j["item"] = itemJson(result->item);
  j["remainingFields"] = result->remainingFields;
  j["shouldFetchContent"] = result->shouldFetchContent;
  std::string text;
  if (result->item) {
    const fp::Item& i = *result->item;
    text = verb + " " + (isFolder(i) ? "folder" : "file") + " \"" + i.filename() + "\" (" +
           i.itemIdentifier() + ")\n";
  } else {
    text = verb + " (the extension returned no item)\n";
  }
  return run.succeed(j, text);
}

int create(CommandRun& run) {
  const CommandLine& cl = run.line();
  auto parent = run.resolve(cl.operands[0]);
  if (!parent) return run.failed(parent.error());
  auto contents = run.contentsFile();
  if (!contents) return run.failed(contents.error());
  TemplateItem t = TemplateItem::forCreation(*parent, cl.operands[1], cl.contentType, *contents);
  fp::ItemFields fields = fp::field::kFilename | fp::field::kParentItemIdentifier;
  if (*contents) fields |= fp::field::kContents;
  return itemChange(run, run.runner().createItem(t, fields, *contents), "created");
}

int modify(CommandRun& run) {
  const CommandLine& cl = run.line();
  auto id = run.resolve(cl.operands[0]);
  if (!id) return run.failed(id.error());
  std::optional<fp::ItemIdentifier> parent;
  if (cl.parent) {
    auto resolved = run.resolve(*cl.parent);
    if (!resolved) return run.failed(resolved.error());
    parent = std::move(resolved).value();
  }
  auto contents = run.contentsFile();
  if (!contents) return run.failed(contents.error());
  // The platform changes an item it knows: the current item is the base of the
  // change (unchanged name and parent, and the base version).
  auto base = run.runner().item(*id);
  if (base) {
    TemplateItem changed = TemplateItem::forModification(**base, cl.name, parent);
    return itemChange(
        run,
        run.runner().modifyItem(changed, (*base)->itemVersion(), cl.changedFields(), *contents),
        "modified");
  }
  if (!base.error().isFileProvider(fp::FileProviderErrorCode::kNoSuchItem))
    return run.failed(base.error(), "looking up " + cl.operands[0]);
  // An item the index no longer shows is still passed on, as the platform does:
  // the change carries what the command line gives, with no base version, and
  // the extension decides.
  TemplateItem changed =
      TemplateItem::named(*id, parent.value_or(fp::ItemIdentifier()), cl.name.value_or(""));
  return itemChange(
      run, run.runner().modifyItem(changed, fp::ItemVersion(), cl.changedFields(), *contents),
      "modified");
}

int remove(CommandRun& run) {
  auto id = run.resolve(run.line().operands[0]);
  if (!id) return run.failed(id.error());
  // The base version is the item's current one when the extension knows it.
  fp::ItemVersion base;
  if (auto item = run.runner().item(*id); item && *item) base = (*item)->itemVersion();
  auto deleted = run.runner().deleteItem(*id, base);
  if (!deleted) return run.failed(deleted.error());
  return run.succeed(Json::object(), "deleted " + *id + "\n");
}

}  // namespace

std::vector<CommandSpec> writeCommands() {
  return {
      {.name = "create",
       .operands = "PARENT NAME",
       .minOperands = 2,
       .maxOperands = 2,
       .summary = "create an item in PARENT",
       .details = "Builds an item template named NAME in PARENT and asks the extension to create\n"
                  "it. The template's type is public.data unless an option says otherwise.",
       .options =
           {{"folder", "", "type public.folder (a folder)",
             [](CommandLine& cl, const std::string&) { return chooseType(cl, "public.folder"); }},
            {"type", "UTI", "this content type",
             [](CommandLine& cl, const std::string& v) -> Mistake {
               if (cl.typeGiven) return chooseType(cl, v);
               if (v.empty()) return "--type needs a type identifier";
               return chooseType(cl, v);
             }},
            {"no-type", "", "no content type at all",
             [](CommandLine& cl, const std::string&) { return chooseType(cl, std::nullopt); }},
            {"contents", "FILE", "the new item's contents", setContents}},
       .run = create},
      {.name = "modify",
       .operands = "ID",
       .minOperands = 1,
       .maxOperands = 1,
       .summary = "rename, move or change an item",
       .details = "Looks the item up first (its name, parent and version are the base of the\n"
                  "change; an item the extension does not find is sent with only what the\n"
                  "options give), then passes the changed item to the extension with the changed\n"
                  "fields: filename (2) for --name, parent (4) for --parent, contents (1) for\n"
                  "--contents or --contents-changed, plus the bits of --fields.",
       .options = {{"name", "NAME", "the new name",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      cl.name = v;
                      return std::nullopt;
                    }},
                   {"parent", "PARENT", "the new parent container",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      cl.parent = v;
                      return std::nullopt;
                    }},
                   {"contents", "FILE", "new contents", setContents},
                   {"contents-changed", "", "mark the contents as changed",
                    [](CommandLine& cl, const std::string&) -> Mistake {
                      cl.contentsChanged = true;
                      return std::nullopt;
                    }},
                   {"fields", "BITS", "further changed-field bits (decimal)",
                    [](CommandLine& cl, const std::string& v) -> Mistake {
                      auto bits = parseDecimal(v);
                      if (!bits) return "--fields takes a decimal number, not \"" + v + "\"";
                      cl.extraFields = *bits;
                      return std::nullopt;
                    }}},
       .run = modify},
      {.name = "delete",
       .operands = "ID",
       .minOperands = 1,
       .maxOperands = 1,
       .summary = "delete an item",
       .details = "Asks the extension to delete the item.",
       .options = {},
       .run = remove},
  };
}

}  // namespace fpctl
