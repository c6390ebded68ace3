#include "fileprovider/uttype.h"

#include <array>
#include <cctype>

namespace fp {
namespace {

struct TypeEntry {
  std::string_view extension;
  std::string_view identifier;
  std::string_view parent;  // the type it directly conforms to
};

// Common extensions and their types. Every file type conforms to public.data
// through its chain of parents.
constexpr std::array<TypeEntry, 37> kTypes{{
    {"pdf", "com.adobe.pdf", "public.data"},
    {"txt", "public.plain-text", "public.text"},
    {"text", "public.plain-text", "public.text"},
    {"md", "net.daringfireball.markdown", "public.plain-text"},
    {"csv", "public.comma-separated-values-text", "public.text"},
    {"rtf", "public.rtf", "public.text"},
    {"html", "public.html", "public.text"},
    {"htm", "public.html", "public.text"},
    {"xml", "public.xml", "public.text"},
    {"json", "public.json", "public.text"},
    {"png", "public.png", "public.image"},
    {"jpg", "public.jpeg", "public.image"},
    {"jpeg", "public.jpeg", "public.image"},
    {"gif", "com.compuserve.gif", "public.image"},
    {"tif", "public.tiff", "public.image"},
    {"tiff", "public.tiff", "public.image"},
    {"heic", "public.heic", "public.image"},
    {"svg", "public.svg-image", "public.image"},
    {"gz", "org.gnu.gnu-zip-archive", "public.archive"},
    {"zip", "public.zip-archive", "public.archive"},
    {"tar", "public.tar-archive", "public.archive"},
    {"mp3", "public.mp3", "public.audio"},
    {"wav", "com.microsoft.waveform-audio", "public.audio"},
    {"mp4", "public.mpeg-4", "public.movie"},
    {"mov", "com.apple.quicktime-movie", "public.movie"},
    {"doc", "com.microsoft.word.doc", "public.data"},
    {"docx", "org.openxmlformats.wordprocessingml.document", "public.data"},
    {"xls", "com.microsoft.excel.xls", "public.data"},
    {"xlsx", "org.openxmlformats.spreadsheetml.sheet", "public.data"},
    {"ppt", "com.microsoft.powerpoint.ppt", "public.data"},
    {"pptx", "org.openxmlformats.presentationml.presentation", "public.data"},
    {"odt", "org.oasis-open.opendocument.text", "public.data"},
    {"c", "public.c-source", "public.source-code"},
    {"cc", "public.c-plus-plus-source", "public.source-code"},
    {"cpp", "public.c-plus-plus-source", "public.source-code"},
    {"h", "public.c-header", "public.source-code"},
    {"py", "public.python-script", "public.source-code"},
}};

struct ParentEntry {
  std::string_view identifier;
  std::string_view parent;
};

constexpr std::array<ParentEntry, 9> kParents{{
    {"public.text", "public.data"},
    {"public.plain-text", "public.text"},
    {"public.image", "public.data"},
    {"public.archive", "public.data"},
    {"public.audio", "public.data"},
    {"public.movie", "public.data"},
    {"public.source-code", "public.plain-text"},
    {"public.folder", "public.directory"},
    {"public.directory", "public.item"},
}};

std::string_view parentOf(std::string_view id) {
  for (const auto& t : kTypes) {
    if (t.identifier == id) return t.parent;
  }
  for (const auto& p : kParents) {
    if (p.identifier == id) return p.parent;
  }
  if (id == "public.data") return "public.item";
  return {};
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

UTType UTType::folder() { return UTType("public.folder"); }
UTType UTType::data() { return UTType("public.data"); }

bool UTType::conforms(const UTType& other) const {
  std::string_view id = identifier_;
  for (int depth = 0; !id.empty() && depth < 16; ++depth) {
    if (id == other.identifier_) return true;
    id = parentOf(id);
  }
  return false;
}

std::optional<UTType> UTType::forFilenameExtension(std::string_view ext,
                                                   const UTType& conformingTo) {
  if (ext.empty()) return std::nullopt;
  for (const auto& t : kTypes) {
    if (equalsIgnoringAsciiCase(t.extension, ext)) {
      UTType type{std::string(t.identifier)};
      if (type.conforms(conformingTo)) return type;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> UTType::preferredFilenameExtension() const {
  for (const auto& t : kTypes) {
    if (t.identifier == identifier_) return std::string(t.extension);
  }
  return std::nullopt;
}

}  // namespace fp
