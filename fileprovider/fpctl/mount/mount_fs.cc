#include "fileprovider/fpctl/mount/mount_fs.h"

namespace fpctl::mount {

KernelNotifier::~KernelNotifier() = default;

MountFs::MountFs(std::shared_ptr<fp::ReplicatedExtension> extension, ContentCache& cache,
                 KernelNotifier& notifier, uid_t uid, gid_t gid)
    : state_(std::move(extension), cache, notifier, uid, gid) {}

MountFs::~MountFs() = default;

fp::Status MountFs::start() {
  auto root = state_.provider.item(std::string(fp::kRootContainer));
  if (!root) return fp::fail(root.error());
  changes_.readFirstAnchor();
  tree_.addRoot(*root);
  return fp::Ok{};
}

bool MountFs::keepsCopyOf(const std::string& identifier) {
  return residency_.keepsCopyOf(identifier);
}

std::int64_t MountFs::trimCache() { return residency_.trimCache(); }

// ---------------------------------------------------------------- the node tree

ErrnoOr<EntryReply> MountFs::lookup(Ino parent, std::string_view name, const fp::Progress* cancel) {
  return tree_.lookup(parent, name, cancel);
}

void MountFs::forget(Ino ino, std::uint64_t count) { tree_.forget(ino, count); }

ErrnoOr<struct stat> MountFs::getattr(Ino ino, const fp::Progress* cancel) {
  return tree_.getattr(ino, cancel);
}

ErrnoOr<void> MountFs::access(Ino ino, int mask) { return tree_.access(ino, mask); }

const std::filesystem::path& MountFs::cacheRoot() const { return state_.cache.root(); }

ErrnoOr<std::uint64_t> MountFs::opendir(Ino ino, const fp::Progress* cancel) {
  return tree_.opendir(ino, cancel);
}

ErrnoOr<void> MountFs::readdir(std::uint64_t dh, off_t offset, bool plus,
                               const std::function<bool(const DirEntry&, off_t)>& emit) {
  return tree_.readdir(dh, offset, plus, emit);
}

void MountFs::releasedir(std::uint64_t dh) { tree_.releasedir(dh); }

// ---------------------------------------------------------------- open files

ErrnoOr<struct stat> MountFs::setattr(Ino ino, std::optional<off_t> size,
                                      std::optional<std::uint64_t> fh, const fp::Progress* cancel) {
  return files_.setattr(ino, size, fh, cancel);
}

ErrnoOr<void> MountFs::keepDate(Ino ino, timespec date) { return files_.keepDate(ino, date); }
ErrnoOr<void> MountFs::keepMode(Ino ino, mode_t mode) { return files_.keepMode(ino, mode); }

ErrnoOr<OpenReply> MountFs::open(Ino ino, int flags, const fp::Progress* cancel) {
  return files_.open(ino, flags, cancel);
}

ErrnoOr<std::pair<EntryReply, OpenReply>> MountFs::create(Ino parent, std::string_view name,
                                                          int flags, const fp::Progress* cancel) {
  return files_.create(parent, name, flags, cancel);
}

ErrnoOr<ReadSource> MountFs::readSource(std::uint64_t fh) { return files_.readSource(fh); }

ErrnoOr<std::size_t> MountFs::read(std::uint64_t fh, char* buf, std::size_t size, off_t offset) {
  return files_.read(fh, buf, size, offset);
}

ErrnoOr<std::size_t> MountFs::write(std::uint64_t fh, const char* data, std::size_t size,
                                    off_t offset, pid_t writer) {
  return files_.write(fh, data, size, offset, writer);
}

// ---------------------------------------------------------------- sending

ErrnoOr<void> MountFs::flush(std::uint64_t fh, pid_t closer, const fp::Progress* cancel) {
  return sending_.flush(fh, closer, cancel);
}

ErrnoOr<void> MountFs::fsync(std::uint64_t fh, const fp::Progress* cancel) {
  return sending_.fsync(fh, cancel);
}

void MountFs::release(std::uint64_t fh) { sending_.release(fh); }

void MountFs::startWriteBack(std::chrono::milliseconds quiet, std::chrono::milliseconds longest) {
  sending_.startWriteBack(quiet, longest);
}

void MountFs::stopWriteBack(std::chrono::milliseconds grace) { sending_.stopWriteBack(grace); }

void MountFs::waitForWriteBack() { sending_.waitForWriteBack(); }

void MountFs::finishPendingUploads() { sending_.finishPendingUploads(); }

std::size_t MountFs::sendQueue(bool untilTheEnd) { return sending_.sendQueue(untilTheEnd); }

// ---------------------------------------------------------------- tree edits

ErrnoOr<EntryReply> MountFs::mkdir(Ino parent, std::string_view name, const fp::Progress* cancel) {
  return edits_.mkdir(parent, name, cancel);
}

ErrnoOr<void> MountFs::unlink(Ino parent, std::string_view name, const fp::Progress* cancel) {
  return edits_.unlink(parent, name, cancel);
}

ErrnoOr<void> MountFs::rmdir(Ino parent, std::string_view name, const fp::Progress* cancel) {
  return edits_.rmdir(parent, name, cancel);
}

ErrnoOr<void> MountFs::rename(Ino parent, std::string_view name, Ino newParent,
                              std::string_view newName, unsigned flags,
                              const fp::Progress* cancel) {
  return edits_.rename(parent, name, newParent, newName, flags, cancel);
}

// ---------------------------------------------------------------- change check

void MountFs::checkForChanges() { changes_.checkForChanges(); }

// ---------------------------------------------------------------- residency, attributes

ErrnoOr<void> MountFs::pin(Ino ino) { return residency_.pin(ino); }

ErrnoOr<void> MountFs::unpin(Ino ino) { return residency_.unpin(ino); }

ErrnoOr<void> MountFs::evict(Ino ino) { return residency_.evict(ino); }

bool MountFs::isPinned(const fp::ItemIdentifier& identifier) const {
  return residency_.isPinned(identifier);
}

void MountFs::keepPinnedLocal() { residency_.keepPinnedLocal(); }

ErrnoOr<std::string> MountFs::stateOf(Ino ino) { return xattrs_.stateOf(ino); }

ErrnoOr<std::string> MountFs::getxattr(Ino ino, std::string_view name) {
  return xattrs_.getxattr(ino, name);
}

ErrnoOr<std::string> MountFs::listxattr(Ino ino) { return xattrs_.listxattr(ino); }

ErrnoOr<void> MountFs::setxattr(Ino ino, std::string_view name, std::string_view value) {
  return xattrs_.setxattr(ino, name, value);
}

ErrnoOr<void> MountFs::removexattr(Ino ino, std::string_view name) {
  return xattrs_.removexattr(ino, name);
}

}  // namespace fpctl::mount
