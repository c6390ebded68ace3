// fpctl's output: the JSON forms that scripts read, and the text for people
// (aligned listings, item details, the tree, the progress bar, error lines).
// Every function here is pure: it formats what it is given.
#ifndef FPCTL_RENDER_H_
#define FPCTL_RENDER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileprovider/domain.h"
#include "fileprovider/error.h"
#include "fileprovider/item.h"

namespace fpctl {

using Json = nlohmann::ordered_json;

// ---- JSON ----

// {"identifier","parent","filename","contentType","capabilities","documentSize",
//  "contentModificationDate","isUploaded","isDownloaded","contentVersion",
//  "metadataVersion"}; null for no item. Versions are the UTF-8 text of their bytes.
Json itemJson(const fp::Item* item);
inline Json itemJson(const fp::ItemPtr& item) { return itemJson(item.get()); }
Json itemsJson(const std::vector<fp::ItemPtr>& items);
// {"domain","code","description"}
Json errorJson(const fp::Error& error);
// {"error":{"domain":"usage","code":2,"description":DESCRIPTION}}: a mistake in
// how fpctl was called, or no domain to serve, as one JSON object. Another exit
// status than 2 is fpctl's own failure: {"domain":"fpctl","code":STATUS,...}.
Json usageErrorJson(std::string_view description, int status = 2);
// "no command given" for "fpctl: no command given": the line without the
// program's name in front.
std::string stripProgramName(std::string_view line);
// {"identifier","displayName","hidden","bundle"}
Json domainJson(const fp::DomainRecord& record);

// One line of JSON and a newline. Bytes that are not UTF-8 become U+FFFD.
std::string dumpJson(const Json& json);

// ---- text for people ----

// "0 B", "512 B", "1.5 KiB", "12 KiB", "3.4 MiB", ...
std::string humanSize(std::int64_t bytes);
// "2024-05-01 10:22" in local time (or UTC when asked).
std::string formatDate(fp::Date seconds, bool utc = false);
// A short description of an item's kind: "folder", "PDF document", "text",
// "data", or the type identifier itself when it has no friendlier name.
std::string kindName(const std::optional<fp::UTType>& type);
bool isFolder(const fp::Item& item);
// "read, write, reparent, rename, delete" for the capability bits.
std::string capabilityNames(fp::ItemCapabilities caps);

struct TextOptions {
  bool utc = false;
};

// NAME  KIND  SIZE  MODIFIED  IDENTIFIER, one aligned row per item, in the given
// order; folders end in "/", read-only items are marked. Nothing for no items.
std::string listingTable(const std::vector<fp::ItemPtr>& items, const TextOptions& options = {});
// "Name: ..." lines describing one item.
std::string itemDetails(const fp::Item& item, const TextOptions& options = {});
std::string domainsTable(const std::vector<fp::DomainRecord>& records);

// A container and what lies below it, as the tree command walks it.
struct TreeNode {
  fp::ItemIdentifier identifier;
  fp::ItemPtr item;     // none when the extension has no item for the container
  bool listed = false;  // children were listed (a container)
  std::vector<TreeNode> children;
};

// The tree drawn with box lines: the top's name, then one line per item with
// its size (files) and kind.
std::string treeText(const TreeNode& top);
// {"identifier","item":ITEM or null,"children":[NODE...] or null}
Json treeJson(const TreeNode& top);

// One frame of the fetch progress bar, without line ending: the label, a bar
// of `width` cells and the state. With total <= 0 or nothing completed yet the
// bar is a moving block (the extension gives no finer progress).
std::string progressBar(std::string_view label, std::int64_t completed, std::int64_t total,
                        double elapsedSeconds, int width = 24);

// The bytes of a transfer and its rate so far, for a progress bar's label:
// "1.5 MiB of 4.0 MiB, 512 KiB/s". The rate is left out until time has passed.
std::string transferText(std::int64_t done, std::int64_t total, double elapsedSeconds);

// A readable name of well-known error codes ("no such item"); empty otherwise.
std::string errorName(const fp::Error& error);
// "fpctl: WHAT failed: no such item (NSFileProviderErrorDomain -1005)", with the
// error's own message when it has one, and the extension's own account of the
// failure (`reason`, a line from its log) when there is one:
// "... failed: the server cannot be reached; the extension logged: delete failed
// for 01J...: remote(kind: \"locked\", ...) (NSFileProviderErrorDomain -1004)".
std::string errorLine(std::string_view what, const fp::Error& error, std::string_view reason = {});

}  // namespace fpctl

#endif  // FPCTL_RENDER_H_
