#include "fileprovider/error.h"

#include <cstring>

namespace fp {

Error Error::fileProvider(FileProviderErrorCode code) {
  return Error{std::string(kFileProviderErrorDomain), static_cast<int>(code), {}};
}

Error Error::cocoa(int code, std::string message) {
  return Error{std::string(kCocoaErrorDomain), code, std::move(message)};
}

Error Error::posix(int errnum, std::string_view context) {
  std::string message(context);
  if (!message.empty()) message += ": ";
  message += std::strerror(errnum);
  return Error{std::string(kPOSIXErrorDomain), errnum, std::move(message)};
}

std::string Error::description() const {
  std::string text = message;
  if (text.empty()) {
    text = "The operation couldn\u2019t be completed. (" + domain + " error " +
           std::to_string(code) + ".)";
  }
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + text + "\"";
}

}  // namespace fp
