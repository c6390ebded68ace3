#include "reference-host/seed.h"

#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "fileprovider/private_path.h"
#include "reference-host/png_writer.h"
#include "reference-host/store.h"

namespace refhost {

namespace fs = std::filesystem;

fp::StatusOr<SeedOutcome> seedStore(const fs::path& store) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(store, ec))) {
    if (!fs::is_directory(store, ec)) {
      return fp::fail(fp::Error::posix(ENOTDIR, "store " + store.string()));
    }
    if (!fs::is_empty(store, ec) || ec) {
      if (ec) return fp::fail(fp::Error::posix(ec.value(), "reading " + store.string()));
      return SeedOutcome::kLeftAsItWas;
    }
  }

  const std::vector<std::string> folders = {
      "Projects", "Projects/Designs", "Projects/Designs/Drafts", "Photos", "Archive",
  };
  const std::vector<std::pair<std::string, std::string>> files = {
      {"Welcome.txt",
       "Welcome to the sample account of pell-refhost.\n"
       "Everything you see here lives in a plain folder tree on this machine.\n"},
      {"Notes.txt", "Notes (capital N): shopping list, call the plumber.\n"},
      {"notes.txt", "notes (small n): a second file whose name differs only in case.\n"},
      {"Caf\xC3\xA9 menu.txt", "Espresso 2.20\nCappuccino 3.10\n"},
      {"Projects/Roadmap.md", "# Roadmap\n\n- Q1: sample data\n- Q2: more sample data\n"},
      {std::string(kSampleLockedPath), "item;amount\nrent;1200\npower;85\n"},
      {"Projects/Designs/logo.png", gradientPng(32, 32, {20, 60, 160}, {250, 190, 40})},
      {"Projects/Designs/Drafts/draft-1.txt", "A first draft.\n"},
      {"Photos/sunset.png", gradientPng(64, 48, {250, 120, 40}, {40, 20, 90})},
  };

  // The store stands in for the account: its root is this user's alone.
  if (auto made = fp::createPrivateDirectories(store)) {
    return fp::fail(fp::Error::posix(made.value(), "creating " + store.string()));
  }
  Store target(store);
  if (auto s = target.prepare(); !s) return fp::fail(s.error());
  for (const auto& folder : folders) {
    fs::create_directories(store / folder, ec);
    if (ec) return fp::fail(fp::Error::posix(ec.value(), "creating " + (store / folder).string()));
  }
  for (const auto& [path, contents] : files) {
    if (auto s = writeNewFile(contents, store / path); !s) return fp::fail(s.error());
  }
  if (auto s = target.writeLocks({{std::string(kSampleLockedPath), kSampleLockUser}}); !s) {
    return fp::fail(s.error());
  }
  return SeedOutcome::kSeeded;
}

}  // namespace refhost
