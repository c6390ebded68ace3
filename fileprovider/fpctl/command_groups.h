// fpctl's commands by what they do; each group file declares its commands
// (CommandSpec) beside their handlers. commandTable() lists the groups in this
// order.
#ifndef FPCTL_COMMAND_GROUPS_H_
#define FPCTL_COMMAND_GROUPS_H_

#include <vector>

#include "fileprovider/fpctl/command_line.h"

namespace fpctl {

// domains, item, ls, tree, anchor, changes (queries.cc).
std::vector<CommandSpec> queryCommands();
// fetch, thumbnails (contents.cc).
std::vector<CommandSpec> contentCommands();
// create, modify, delete (writes.cc).
std::vector<CommandSpec> writeCommands();
// mount, status (mount_command.cc).
std::vector<CommandSpec> mountCommands();
// pin, unpin, evict (local_copies.cc).
std::vector<CommandSpec> localCopyCommands();
// retry, discard (refused_commands.cc).
std::vector<CommandSpec> refusedChangeCommands();

}  // namespace fpctl

#endif  // FPCTL_COMMAND_GROUPS_H_
