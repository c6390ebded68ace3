#include "extension/platform/logs.h"

namespace pellora {

// Function-local statics: built once, thread-safe, never destroyed before use ends.
const fp::Log& extensionLog() {
  static const fp::Log* log = new fp::Log(kLogSubsystem, "Extension");
  return *log;
}
const fp::Log& indexLog() {
  static const fp::Log* log = new fp::Log(kLogSubsystem, "Index");
  return *log;
}
const fp::Log& enumeratorLog() {
  static const fp::Log* log = new fp::Log(kLogSubsystem, "Enumerator");
  return *log;
}

}  // namespace pellora
