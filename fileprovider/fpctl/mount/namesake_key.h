// Which names of one folder the service treats as the same name. The service
// shows a file whose name equals a sibling's name apart from letter case (or
// canonical equivalence) under a marked name instead, so a program that creates
// such a file would not find it under the name it chose. The mount refuses that
// name before any data is written; this is the comparison it uses.
#ifndef FPCTL_MOUNT_NAMESAKE_KEY_H_
#define FPCTL_MOUNT_NAMESAKE_KEY_H_

#include <string>
#include <string_view>
#include <unordered_map>

namespace fpctl::mount {

// The name lowered scalar by scalar with the full lower-case mapping of the
// Unicode character database (no locale, no neighbours: a capital sigma always
// becomes a small sigma), then put into NFC. Two names are namesakes when their
// keys are equal. Ill-formed UTF-8 counts as U+FFFD. An ASCII name is lowered
// without ICU.
[[nodiscard]] std::string namesakeKey(std::string_view name);

// The keys of a folder's names (counted, so a name can be taken out again),
// built once and asked many times.
class NamesakeKeys {
 public:
  void add(std::string_view name) { ++counts_[namesakeKey(name)]; }
  void remove(std::string_view name) {
    auto it = counts_.find(namesakeKey(name));
    if (it != counts_.end() && --it->second == 0) counts_.erase(it);
  }
  // True when some added name is a namesake of `name`.
  [[nodiscard]] bool hasNamesake(std::string_view name) const {
    return counts_.count(namesakeKey(name)) > 0;
  }

 private:
  std::unordered_map<std::string, int> counts_;
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_NAMESAKE_KEY_H_
