// The commands that fetch contents: fetch and thumbnails.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "fileprovider/fpctl/command_groups.h"
#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/mount/fetched_copy.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl {

namespace {

namespace fs = std::filesystem;

// Seconds a fetch runs before the progress bar appears (quick fetches show none).
constexpr double kProgressDelaySeconds = 0.3;

// Where `fetch --out OUT` writes: OUT itself, or the item's display name
// inside OUT when OUT is a folder. A display name that cannot be a file name
// here ("..", or one with "/") is refused: a file path is needed then.
fp::StatusOr<fs::path> outputFile(const fs::path& out, const fp::ItemPtr& item) {
  std::error_code ec;
  if (!fs::is_directory(out, ec)) return out;
  std::string name = item ? item->filename() : std::string();
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return fp::fail(fp::Error::posix(EISDIR, out.string() +
                                                 " is a folder and the item's name cannot be a "
                                                 "file name in it; give a file path to --out"));
  }
  return out / name;
}

// Copies the fetched file `source` to `target` as the mount copies fetched
// contents into its cache, trusting nothing about the file the extension named:
// opened without blocking (a FIFO fails at once), a regular file only, and at
// most fetchedCopyLimit() of the item's size. A copy that fails is removed.
fp::Status saveFetched(const fs::path& source, const fs::path& target, const fp::ItemPtr& item) {
  const std::int64_t claimed = item ? item->documentSize().value_or(0) : 0;
  const std::int64_t limit = mount::fetchedCopyLimit(claimed);
  auto explain = [&](int e) {
    if (e == EFBIG) {
      return fp::Error::posix(e, source.string() + " is larger than the bound of " +
                                     std::to_string(limit) + " bytes (the item's size, " +
                                     std::to_string(claimed) +
                                     " bytes, plus an eighth plus 1 MiB)");
    }
    if (e == EINVAL) {
      return fp::Error::posix(e, source.string() + " is not a regular file");
    }
    return fp::Error::posix(e, "copy " + source.string() + " to " + target.string());
  };
  auto in = mount::openFetched(source, limit);
  if (!in) return fp::fail(explain(in.error().value));
  fp::ScopedFD out(fp::retryOnEintr(
      [&] { return ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
  if (!out) return fp::fail(explain(errno));
  if (auto copied = mount::copyOpenedFetchedInto(in->get(), out.get(), limit, 0); !copied) {
    out.reset();
    ::unlink(target.c_str());
    return fp::fail(explain(copied.error().value));
  }
  return fp::Ok{};
}

int fetch(CommandRun& run) {
  const CommandLine& cl = run.line();
  Environment& env = run.env();
  const std::string& arg = cl.operands[0];
  auto id = run.resolve(arg);
  if (!id) return run.failed(id.error());
  bool drew = false;
  ProgressTick tick;
  if (env.errIsTerminal) {
    tick = [&](const fp::Progress& p, double elapsed) {
      if (elapsed < kProgressDelaySeconds) return;
      env.err << "\r"
              << progressBar("fetching " + arg, p.completedUnitCount(), p.totalUnitCount(), elapsed)
              << "\x1b[K";
      env.err.flush();
      drew = true;
    };
  }
  auto fetched = run.runner().fetchContents(*id, tick);
  if (drew) {
    env.err << "\r\x1b[K";
    env.err.flush();
  }
  if (!fetched) {
    // A folder has no contents to fetch: said in one line; the extension's
    // error stays as it is in JSON.
    if (auto item = run.runner().item(*id); item && *item && isFolder(**item)) {
      return run.failedSaying(fetched.error(), arg + " is a folder; fetch takes a file (fpctl ls " +
                                                   arg + " lists the folder)");
    }
    return run.failed(fetched.error());
  }

  std::string text = fetched->path.string() + "\n";
  if (cl.out) {
    fp::ItemPtr named = fetched->item;
    if (!named) {
      if (auto looked = run.runner().item(*id); looked) named = *looked;
    }
    auto target = outputFile(*cl.out, named);
    if (!target) return run.failed(target.error(), "saving " + arg);
    if (auto saved = saveFetched(fetched->path, *target, named); !saved) {
      return run.failed(saved.error(), "saving " + arg);
    }
    std::error_code ec;
    auto size = fs::file_size(*target, ec);
    text = "saved " + arg + " to " + target->string() +
           (ec ? std::string() : " (" + humanSize(static_cast<std::int64_t>(size)) + ")") + "\n";
  }
  Json j;
  j["path"] = fetched->path.string();
  j["item"] = itemJson(fetched->item);
  return run.succeed(j, text);
}

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

int thumbnails(CommandRun& run) {
  const CommandLine& cl = run.line();
  std::vector<fp::ItemIdentifier> ids;
  for (const auto& arg : cl.operands) {
    auto id = run.resolve(arg);
    if (!id) return run.failed(id.error());
    ids.push_back(*id);
  }
  if (cl.outDir) {
    std::error_code ec;
    fs::create_directories(*cl.outDir, ec);
    if (ec)
      return run.failed(fp::Error::posix(ec.value(), "create " + cl.outDir->string()),
                        "preparing " + cl.outDir->string());
  }
  auto result = run.runner().fetchThumbnails(ids);
  if (!result) return run.failed(result.error());

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
      if (cl.outDir) {
        fs::path file = *cl.outDir / thumbnailFileName(t.identifier, *t.data);
        std::ofstream o(file, std::ios::binary | std::ios::trunc);
        o.write(t.data->data(), static_cast<std::streamsize>(t.data->size()));
        if (!o)
          return run.failed(fp::Error::posix(EIO, "write " + file.string()), "saving thumbnails");
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
    run.succeed(j, text);
    run.env().err << errorLine(run.what(), *result->error) << "\n";
    return kExitFailed;
  }
  bool anyMade = false;
  for (const auto& t : result->thumbnails) anyMade = anyMade || (t.data && !t.error);
  if (!anyMade) {
    // Not one thumbnail is a failure, whatever the final handler said: the
    // first item's own error is the command's.
    fp::Error none{"fpctl", 1, "no thumbnail could be made"};
    for (const auto& t : result->thumbnails) {
      if (t.error) {
        none = *t.error;
        break;
      }
    }
    j["error"] = errorJson(none);
    run.succeed(j, text);
    run.env().err << "fpctl: " << run.what() << ": no thumbnail could be made\n";
    return kExitFailed;
  }
  return run.succeed(j, text);
}

}  // namespace

std::vector<CommandSpec> contentCommands() {
  return {
      {.name = "fetch",
       .operands = "ID",
       .minOperands = 1,
       .maxOperands = 1,
       .summary = "fetch a file's contents",
       .details = "Asks the extension for a local copy of the file's contents and prints the path\n"
                  "it returned. A progress bar is shown on a terminal while the fetch runs.",
       .options =
           {{"out", "FILE",
             "also copy the contents to FILE (into it, under the item's name, when it is a folder)",
             [](CommandLine& cl, const std::string& v) -> std::optional<std::string> {
               cl.out = fs::path(v);
               return std::nullopt;
             }}},
       .run = fetch},
      {.name = "thumbnails",
       .operands = "ID...",
       .minOperands = 1,
       .maxOperands = kManyOperands,
       .summary = "fetch thumbnails",
       .details = "Asks the extension for thumbnails of the items, in one request.",
       .options = {{"out-dir", "DIR", "write each thumbnail's bytes into DIR",
                    [](CommandLine& cl, const std::string& v) -> std::optional<std::string> {
                      cl.outDir = fs::path(v);
                      return std::nullopt;
                    }}},
       .run = thumbnails},
  };
}

}  // namespace fpctl
