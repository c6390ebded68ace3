#include "extension/testing/temp_container.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

#include "fileprovider/file_manager.h"

namespace pellora::testing {

namespace fs = std::filesystem;

TempContainer::TempContainer(std::string_view group) {
  std::string tmpl = (fs::temp_directory_path() / "pellora-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  fs::path containers = root_ / "containers";
  dir_ = containers / std::string(group);
  fs::create_directories(dir_);
  log_ = root_ / "platform.log";
  ::setenv("FILEPROVIDER_CONTAINERS", containers.c_str(), 1);
  ::setenv("FILEPROVIDER_LOG", log_.c_str(), 1);
  fp::declareApplicationGroups({std::string(group)});
}

TempContainer::~TempContainer() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::vector<std::string> TempContainer::logLines() const {
  std::vector<std::string> lines;
  std::ifstream in(log_);
  std::string line;
  while (std::getline(in, line)) {
    auto tab = line.find('\t');
    lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return lines;
}

void TempContainer::clearLog() const {
  std::error_code ec;
  fs::remove(log_, ec);
}

}  // namespace pellora::testing
