// fpctl: the platform host. Loads a domain's extension bundle, makes one
// request, prints the outcome and exits (see `fpctl help`).
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "fileprovider/fpctl/commands.h"
#include "fileprovider/fpctl/mount/mount.h"
#include "fileprovider/log.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  fpctl::Environment env{std::cout, std::cerr};
  env.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
  env.mount = fpctl::runMount;
  if (const char* log = std::getenv("FILEPROVIDER_LOG"); log && *log) env.logFile = log;
  env.setLogFile = [](const std::filesystem::path& file) {
    fp::Log::setLogFile(file.empty() ? std::nullopt : std::optional<std::filesystem::path>(file));
  };
  std::error_code ec;
  if (auto temp = std::filesystem::temp_directory_path(ec); !ec) env.privateLogFolder = temp;
  int status = fpctl::runCommandLine(args, env);
  std::cout.flush();
  return status;
}
