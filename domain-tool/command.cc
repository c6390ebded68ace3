#include "domain-tool/command.h"

namespace pellora::domaintool {

Operation decideOperation(std::span<const std::string_view> args) {
  if (args.size() != 1) return Operation::kUsage;
  if (args[0] == "register") return Operation::kRegister;
  if (args[0] == "remove") return Operation::kRemove;
  return Operation::kUsage;
}

Operation decideOperation(int argc, const char* const* argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return decideOperation(args);
}

Outcome outcomeOf(Situation situation, std::string_view errorText) {
  const std::string id(kDomainIdentifier);
  const std::string error(errorText);
  switch (situation) {
    case Situation::kWrongArgument:
      return {Stream::kStandardOutput, "usage: pell-domain {register|remove}\n", 2};
    case Situation::kAdded:
      return {Stream::kStandardOutput, "registered: " + id + "\n", 0};
    case Situation::kAddingFailed:
      return {Stream::kStandardError, "register failed: " + error + "\n", 1};
    case Situation::kListingFailed:
      return {Stream::kStandardError, "list failed: " + error + "\n", 1};
    case Situation::kNotRegistered:
      return {Stream::kStandardOutput, "not registered\n", 0};
    case Situation::kRemovingFailed:
      return {Stream::kStandardError, "remove failed: " + error + "\n", 1};
    case Situation::kRemoved:
      return {Stream::kStandardOutput, "removed: " + id + "\n", 0};
  }
  return {Stream::kStandardError, "internal error\n", 1};  // unreachable: every case returns
}

Situation removalSituation(const std::optional<fp::Error>& error) {
  if (!error) return Situation::kRemoved;
  if (error->isFileProvider(fp::FileProviderErrorCode::kProviderNotFound))
    return Situation::kNotRegistered;
  return Situation::kRemovingFailed;
}

fp::Domain defaultDomain() {
  return fp::Domain{std::string(kDomainIdentifier), std::string(kDomainDisplayName), false};
}

std::optional<fp::Domain> findDefaultDomain(const std::vector<fp::Domain>& domains) {
  for (const auto& d : domains) {
    if (d.identifier == kDomainIdentifier) return d;
  }
  return std::nullopt;
}

}  // namespace pellora::domaintool
