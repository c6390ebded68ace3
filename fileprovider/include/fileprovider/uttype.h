// Uniform type identifiers: the folder and data types and the lookup by file name extension.
#ifndef FILEPROVIDER_UTTYPE_H_
#define FILEPROVIDER_UTTYPE_H_

#include <optional>
#include <string>
#include <string_view>

namespace fp {

class UTType {
 public:
  explicit UTType(std::string identifier) : identifier_(std::move(identifier)) {}

  static UTType folder();  // "public.folder"
  static UTType data();    // "public.data"

  // The type registered for a file name extension (without the dot) that conforms
  // to `conformingTo`. Extensions are matched case-insensitively; an unknown or
  // empty extension, or a known one that does not conform, yields none.
  static std::optional<UTType> forFilenameExtension(std::string_view ext,
                                                    const UTType& conformingTo);

  // The preferred file name extension of a known type, or none.
  std::optional<std::string> preferredFilenameExtension() const;

  // True when this type is `other` or one of its subtypes in the table.
  bool conforms(const UTType& other) const;

  const std::string& identifier() const { return identifier_; }
  friend bool operator==(const UTType&, const UTType&) = default;

 private:
  std::string identifier_;
};

}  // namespace fp

#endif  // FILEPROVIDER_UTTYPE_H_
