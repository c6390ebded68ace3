// runMount() of an fpctl built without libfuse: everything else of the mount
// (its cache folder, queue and status) is there, but nothing can be served.
#include <iostream>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/mount.h"

namespace fpctl {

int runMount(const fp::Domain&, std::shared_ptr<fp::ReplicatedExtension>,
             const MountOptions& options) {
  const std::string message = "cannot mount: this fpctl was built without FUSE support";
  if (options.json) {
    nlohmann::json j;
    j["error"] = {{"domain", "fpctl"}, {"code", 1}, {"description", message}};
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  }
  std::cerr << "fpctl: " << message << "\n";
  return 1;
}

}  // namespace fpctl
