// The extension's three log handles, created once per process on first use.
#ifndef PELLORA_PLATFORM_LOGS_H_
#define PELLORA_PLATFORM_LOGS_H_

#include "fileprovider/log.h"

namespace pellora {

inline constexpr const char* kLogSubsystem = "de.brightfold.pellora-connect-desktop.fileprovider";

const fp::Log& extensionLog();   // category "Extension"
const fp::Log& indexLog();       // category "Index"
const fp::Log& enumeratorLog();  // category "Enumerator"

}  // namespace pellora

#endif  // PELLORA_PLATFORM_LOGS_H_
