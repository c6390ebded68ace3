#include "fileprovider/fpctl/mount/errno_map.h"

namespace fpctl::mount {

int errnoFor(const fp::Error& error) { return fp::errnoValue(error); }

}  // namespace fpctl::mount
