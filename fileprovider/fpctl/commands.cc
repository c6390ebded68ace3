#include "fileprovider/fpctl/commands.h"

#include <cerrno>
#include <fstream>
#include <set>
#include <system_error>

#include "fileprovider/fpctl/identifiers.h"
#include "fileprovider/fpctl/runner.h"
#include "fileprovider/fpctl/template_item.h"

namespace fpctl {

namespace fs = std::filesystem;

namespace {

// A tree deeper than this is taken for a cycle in the extension's answers.
constexpr int kMaxTreeDepth = 256;

// Seconds a fetch runs before the progress bar appears (quick fetches show none).
constexpr double kProgressDelaySeconds = 0.3;

// The state of one command run: the options, the streams, and the runner once
// the extension is loaded.
class Command {
 public:
  Command(const CommandLine& cl, Environment& env) : cl_(cl), env_(env) {}

  int run();

 private:
  int domains();
  int item();
  int ls();
  int tree();
  int anchor();
  int changes();
  int fetch();
  int thumbnails();
  int create();
  int modify();
  int remove();
  int mount();

  // "fetch /Documents/a.txt": the command as the user gave it, to name what failed.
  std::string what() const {
    std::string s = cl_.command;
    for (const auto& o : cl_.operands) s += " " + o;
    return s;
  }
  int succeed(const Json& json, const std::string& text) {
    if (cl_.global.json)
      env_.out << dumpJson(json);
    else
      env_.out << text;
    env_.out.flush();
    return kExitOk;
  }
  int failed(const fp::Error& error, const std::string& what) {
    if (cl_.global.json) {
      Json j;
      j["error"] = errorJson(error);
      env_.out << dumpJson(j);
      env_.out.flush();
    }
    env_.err << errorLine(what, error) << "\n";
    return kExitFailed;
  }
  int failed(const fp::Error& error) { return failed(error, what()); }
  int failed(const CommandFailure& f) {
    if (cl_.global.json && f.error && f.status != kExitUsage) {
      Json j;
      j["error"] = errorJson(*f.error);
      env_.out << dumpJson(j);
      env_.out.flush();
    }
    env_.err << f.message << "\n";
    return f.status;
  }
  int usage(const std::string& message) {
    env_.err << "fpctl: " << message << "\n" << usageLine(cl_.command) << "\n";
    return kExitUsage;
  }

  // Loads the extension; false (with the failure printed into `status_`) when
  // it cannot be loaded.
  bool load() {
    auto loaded = env_.load(cl_.global);
    if (!loaded) {
      status_ = failed(loaded.error());
      return false;
    }
    domain_ = loaded->domain;
    extension_ = std::move(loaded->extension);
    runner_.emplace(extension_);
    return true;
  }

  // Resolves an identifier argument; none (with the failure printed into
  // `status_`) when it cannot be resolved.
  std::optional<fp::ItemIdentifier> resolve(const std::string& arg) {
    auto id = resolveIdentifier(
        arg, [&](const fp::ItemIdentifier& container) { return runner_->listAll(container); });
    if (!id) {
      status_ = failed(id.error(), "finding " + arg);
      return std::nullopt;
    }
    return *id;
  }

  // A --contents file: made absolute, and checked to be a readable file.
  std::optional<fs::path> contentsFile() {
    if (!cl_.contents) return std::nullopt;
    std::error_code ec;
    fs::path p = fs::absolute(*cl_.contents, ec);
    if (ec) p = *cl_.contents;
    std::ifstream probe(p, std::ios::binary);
    if (!probe || fs::is_directory(p, ec)) {
      status_ = usage("--contents " + cl_.contents->string() + ": not a readable file");
      return std::nullopt;
    }
    return p;
  }

  fp::StatusOr<TreeNode> walk(const fp::ItemIdentifier& id, fp::ItemPtr item, int depth,
                              std::set<fp::ItemIdentifier>& visited);
  int itemChange(const fp::StatusOr<ItemChange>& result, const std::string& verb);

  const CommandLine& cl_;
  Environment& env_;
  std::shared_ptr<fp::ReplicatedExtension> extension_;
  std::optional<Runner> runner_;
  fp::Domain domain_;
  int status_ = kExitOk;
};

int Command::run() {
  const std::string& c = cl_.command;
  if (c == "domains") return domains();
  if (!load()) return status_;
  if (c == "item") return item();
  if (c == "ls") return ls();
  if (c == "tree") return tree();
  if (c == "anchor") return anchor();
  if (c == "changes") return changes();
  if (c == "fetch") return fetch();
  if (c == "thumbnails") return thumbnails();
  if (c == "create") return create();
  if (c == "modify") return modify();
  if (c == "delete") return remove();
  if (c == "mount") return mount();
  return usage("unknown command \"" + c + "\"");
}

int Command::domains() {
  auto records = env_.registry();
  if (!records) return failed(records.error(), "reading the domain registry");
  Json list = Json::array();
  for (const auto& r : *records) list.push_back(domainJson(r));
  Json j;
  j["domains"] = std::move(list);
  return succeed(j, domainsTable(*records));
}

int Command::item() {
  auto id = resolve(cl_.operands[0]);
  if (!id) return status_;
  auto item = runner_->item(*id);
  if (!item) return failed(item.error());
  Json j;
  j["item"] = itemJson(*item);
  return succeed(j, itemDetails(**item, env_.text));
}

int Command::ls() {
  std::string arg = cl_.operands.empty() ? "@root" : cl_.operands[0];
  auto id = resolve(arg);
  if (!id) return status_;
  auto page = runner_->listPage(*id, cl_.page ? fp::Page(*cl_.page) : fp::kInitialPageSortedByName);
  if (!page) return failed(page.error());
  Json j;
  j["items"] = itemsJson(page->items);
  j["nextPage"] = page->nextPage ? Json(*page->nextPage) : Json(nullptr);
  int status = succeed(j, listingTable(page->items, env_.text));
  if (!cl_.global.json && page->nextPage)
    env_.err << "more items: fpctl ls " << arg << " --page '" << *page->nextPage << "'\n";
  return status;
}

fp::StatusOr<TreeNode> Command::walk(const fp::ItemIdentifier& id, fp::ItemPtr item, int depth,
                                     std::set<fp::ItemIdentifier>& visited) {
  TreeNode node;
  node.identifier = id;
  node.item = std::move(item);
  // A container seen before (or too deep) is shown but not listed again.
  if (depth > kMaxTreeDepth || !visited.insert(id).second) return node;
  auto children = runner_->listAll(id);
  if (!children) return fp::propagate(children);
  node.listed = true;
  for (auto& child : *children) {
    if (!child) continue;
    fp::ItemIdentifier childId = child->itemIdentifier();
    if (isFolder(*child)) {
      auto sub = walk(childId, child, depth + 1, visited);
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

int Command::tree() {
  std::string arg = cl_.operands.empty() ? "@root" : cl_.operands[0];
  auto id = resolve(arg);
  if (!id) return status_;
  // The top is shown by its item when the extension has one (the working set
  // and the trash have none); its listing is what matters.
  auto top = runner_->item(*id);
  std::set<fp::ItemIdentifier> visited;
  auto node = walk(*id, top ? *top : nullptr, 0, visited);
  if (!node) return failed(node.error());
  Json j;
  j["tree"] = treeJson(*node);
  return succeed(j, treeText(*node));
}

int Command::anchor() {
  std::string arg = cl_.operands.empty() ? "@root" : cl_.operands[0];
  auto id = resolve(arg);
  if (!id) return status_;
  auto anchor = runner_->currentAnchor(*id);
  if (!anchor) return failed(anchor.error());
  Json j;
  j["anchor"] = *anchor ? Json(**anchor) : Json(nullptr);
  return succeed(j, (*anchor ? **anchor : std::string("(no anchor)")) + "\n");
}

int Command::changes() {
  auto id = resolve(cl_.operands[0]);
  if (!id) return status_;
  auto changes = runner_->changes(*id, fp::SyncAnchor(cl_.operands[1]));
  if (!changes) return failed(changes.error());
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
    if (!changes->updated.empty()) text += "updated:\n" + listingTable(changes->updated, env_.text);
    for (const auto& d : changes->deleted) text += "deleted: " + d + "\n";
  }
  text += "anchor: " + changes->anchor + (changes->moreComing ? " (more coming)" : "") + "\n";
  return succeed(j, text);
}

int Command::fetch() {
  const std::string& arg = cl_.operands[0];
  auto id = resolve(arg);
  if (!id) return status_;
  bool drew = false;
  ProgressTick tick;
  if (env_.errIsTerminal) {
    tick = [&](const fp::Progress& p, double elapsed) {
      if (elapsed < kProgressDelaySeconds) return;
      env_.err << "\r"
               << progressBar("fetching " + arg, p.completedUnitCount(), p.totalUnitCount(),
                              elapsed)
               << "\x1b[K";
      env_.err.flush();
      drew = true;
    };
  }
  auto fetched = runner_->fetchContents(*id, tick);
  if (drew) {
    env_.err << "\r\x1b[K";
    env_.err.flush();
  }
  if (!fetched) return failed(fetched.error());

  std::string text = fetched->path.string() + "\n";
  if (cl_.out) {
    std::error_code ec;
    fs::copy_file(fetched->path, *cl_.out, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      return failed(fp::Error::posix(ec.value(),
                                     "copy " + fetched->path.string() + " to " + cl_.out->string()),
                    "saving " + arg);
    }
    auto size = fs::file_size(*cl_.out, ec);
    text = "saved " + arg + " to " + cl_.out->string() +
           (ec ? std::string() : " (" + humanSize(static_cast<std::int64_t>(size)) + ")") + "\n";
  }
  Json j;
  j["path"] = fetched->path.string();
  j["item"] = itemJson(fetched->item);
  return succeed(j, text);
}

namespace {

// A file name for a thumbnail: the identifier with anything that cannot be in
// a file name replaced, and an extension from the image's first bytes.
std::string thumbnailFileName(const fp::ItemIdentifier& id, std::string_view data) {
  std::string name;
  for (char c : id) name.push_back(c == '/' || c == '\0' || c == ':' ? '_' : c);
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  if (data.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)) return name + ".png";
  if (data.substr(0, 3) == std::string_view("\xff\xd8\xff", 3)) return name + ".jpg";
  return name + ".bin";
}

}  // namespace

int Command::thumbnails() {
  std::vector<fp::ItemIdentifier> ids;
  for (const auto& arg : cl_.operands) {
    auto id = resolve(arg);
    if (!id) return status_;
    ids.push_back(*id);
  }
  if (cl_.outDir) {
    std::error_code ec;
    fs::create_directories(*cl_.outDir, ec);
    if (ec)
      return failed(fp::Error::posix(ec.value(), "create " + cl_.outDir->string()),
                    "preparing " + cl_.outDir->string());
  }
  auto result = runner_->fetchThumbnails(ids);
  if (!result) return failed(result.error());

  Json list = Json::array();
  std::string text;
  for (const auto& t : result->thumbnails) {
    Json e;
    e["identifier"] = t.identifier;
    e["bytes"] = t.data ? Json(static_cast<std::int64_t>(t.data->size())) : Json(nullptr);
    e["error"] = t.error ? errorJson(*t.error) : Json(nullptr);
    list.push_back(std::move(e));
    text += t.identifier + "  ";
    if (t.error) {
      text += errorLine("thumbnail", *t.error).substr(7) + "\n";  // without "fpctl: "
    } else if (!t.data) {
      text += "no thumbnail\n";
    } else {
      text += humanSize(static_cast<std::int64_t>(t.data->size()));
      if (cl_.outDir) {
        fs::path file = *cl_.outDir / thumbnailFileName(t.identifier, *t.data);
        std::ofstream o(file, std::ios::binary | std::ios::trunc);
        o.write(t.data->data(), static_cast<std::streamsize>(t.data->size()));
        if (!o) return failed(fp::Error::posix(EIO, "write " + file.string()), "saving thumbnails");
        text += " -> " + file.string();
      }
      text += "\n";
    }
  }
  Json j;
  j["thumbnails"] = std::move(list);
  j["error"] = result->error ? errorJson(*result->error) : Json(nullptr);
  j["progress"] = Json{{"total", result->total}, {"completed", result->completed}};
  if (result->error) {
    // The answers that came are still shown; the final error fails the command.
    succeed(j, text);
    env_.err << errorLine(what(), *result->error) << "\n";
    return kExitFailed;
  }
  return succeed(j, text);
}

int Command::itemChange(const fp::StatusOr<ItemChange>& result, const std::string& verb) {
  if (!result) return failed(result.error());
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
  return succeed(j, text);
}

int Command::create() {
  auto parent = resolve(cl_.operands[0]);
  if (!parent) return status_;
  auto contents = contentsFile();
  if (status_ != kExitOk) return status_;
  TemplateItem t = TemplateItem::forCreation(*parent, cl_.operands[1], cl_.contentType, contents);
  fp::ItemFields fields = fp::field::kFilename | fp::field::kParentItemIdentifier;
  if (contents) fields |= fp::field::kContents;
  return itemChange(runner_->createItem(t, fields, contents), "created");
}

int Command::modify() {
  auto id = resolve(cl_.operands[0]);
  if (!id) return status_;
  std::optional<fp::ItemIdentifier> parent;
  if (cl_.parent) {
    parent = resolve(*cl_.parent);
    if (!parent) return status_;
  }
  auto contents = contentsFile();
  if (status_ != kExitOk) return status_;
  // The platform changes an item it knows: the current item is the base of the
  // change (unchanged name and parent, and the base version).
  auto base = runner_->item(*id);
  if (!base) return failed(base.error(), "looking up " + cl_.operands[0]);
  TemplateItem changed = TemplateItem::forModification(**base, cl_.name, parent);
  return itemChange(
      runner_->modifyItem(changed, (*base)->itemVersion(), cl_.changedFields(), contents),
      "modified");
}

int Command::remove() {
  auto id = resolve(cl_.operands[0]);
  if (!id) return status_;
  // The base version is the item's current one when the extension knows it.
  fp::ItemVersion base;
  if (auto item = runner_->item(*id); item && *item) base = (*item)->itemVersion();
  auto deleted = runner_->deleteItem(*id, base);
  if (!deleted) return failed(deleted.error());
  return succeed(Json::object(), "deleted " + *id + "\n");
}

int Command::mount() {
  if (!env_.mount) return usage("mount is not available in this build");
  MountOptions options;
  options.mountpoint = cl_.operands[0];
  options.foreground = cl_.foreground;
  if (cl_.pollSeconds) options.pollSeconds = *cl_.pollSeconds;
  options.cacheDir = cl_.cacheDir;
  std::shared_ptr<fp::ReplicatedExtension> extension = std::move(extension_);
  runner_.reset();  // the mount is the extension's only owner from here on
  return env_.mount(domain_, std::move(extension), options);
}

}  // namespace

int runCommand(const CommandLine& cl, Environment& env) { return Command(cl, env).run(); }

int runCommandLine(const std::vector<std::string>& args, Environment& env) {
  auto parsed = parseCommandLine(args);
  if (!parsed) {
    const UsageError& e = parsed.error();
    env.err << "fpctl: " << e.message << "\n" << usageLine(e.command) << "\n";
    env.err << "Try 'fpctl help" << (e.command.empty() ? "" : " " + e.command)
            << "' for more information.\n";
    return kExitUsage;
  }
  const CommandLine& cl = *parsed;
  if (cl.help) {
    env.out << helpText(cl.command);
    env.out.flush();
    return kExitOk;
  }
  if (cl.global.logFile && env.setLogFile) env.setLogFile(*cl.global.logFile);
  return runCommand(cl, env);
}

}  // namespace fpctl
