#include "fileprovider/fpctl/mount/fuse_front.h"

#define FUSE_USE_VERSION 314
#include <fuse3/fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "fileprovider/fpctl/mount/errno_map.h"
#include "fileprovider/fpctl/mount/name_codec.h"

namespace fpctl::mount {
namespace {

// The loop thread is woken from sem_wait by a signal whose handler does nothing.
void ignoreWakeup(int) {}
constexpr int kWakeupSignal = SIGUSR2;

FuseFront& front(fuse_req_t req) { return *static_cast<FuseFront*>(fuse_req_userdata(req)); }

// The cancellation of one request for as long as it runs: a FUSE interrupt
// (the calling program got a signal) or the end of the mount cancels it, and
// the waiting MountFs operation returns EINTR.
class Interruptible {
 public:
  explicit Interruptible(fuse_req_t req) : front_(front(req)), progress_(1) {
    front_.track(&progress_);
    fuse_req_interrupt_func(
        req, [](fuse_req_t, void* data) { static_cast<fp::Progress*>(data)->cancel(); },
        &progress_);
  }
  ~Interruptible() { front_.untrack(&progress_); }
  Interruptible(const Interruptible&) = delete;
  Interruptible& operator=(const Interruptible&) = delete;
  const fp::Progress* get() const { return &progress_; }

 private:
  FuseFront& front_;
  fp::Progress progress_;
};

fuse_entry_param entryParam(const FuseFront& f, const EntryReply& e) {
  fuse_entry_param p{};
  p.ino = e.ino;
  p.generation = 1;
  p.attr = e.attr;
  p.attr_timeout = f.cacheSeconds();
  p.entry_timeout = f.cacheSeconds();
  return p;
}

// ---- operations

constexpr unsigned kMaxRequestBytes = 1u << 20;
constexpr unsigned kMaxBackground = 64;

void opInit(void* userdata, fuse_conn_info* conn) {
  auto& f = *static_cast<FuseFront*>(userdata);
  auto want = [conn](unsigned cap) {
    if (conn->capable & cap) conn->want |= cap;
  };
  // Open with O_TRUNC arrives as one request, so a truncating open never fetches.
  want(FUSE_CAP_ATOMIC_O_TRUNC);
  want(FUSE_CAP_SPLICE_WRITE);
  want(FUSE_CAP_SPLICE_MOVE);
  want(FUSE_CAP_READDIRPLUS);
  want(FUSE_CAP_READDIRPLUS_AUTO);
  want(FUSE_CAP_PARALLEL_DIROPS);
  want(FUSE_CAP_ASYNC_READ);
  // Requests as large as the kernel allows: 1 MiB writes and reads (libfuse
  // asks for max_pages to match, up to its buffer size) and the largest
  // read-ahead the kernel offers. More requests in flight at once keep the
  // worker threads busy while a large file streams through.
  conn->max_write = kMaxRequestBytes;
  conn->max_readahead = std::max(conn->max_readahead, kMaxRequestBytes);
  conn->max_background = kMaxBackground;
  conn->congestion_threshold = kMaxBackground * 3 / 4;
  // Writes go through to the working copy at once, so a close sends what was written.
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  // Cached data is dropped when the change check finds a new content version, and
  // on open when the version differs from what the kernel holds; a changed
  // modification time alone says nothing more.
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  f.notifier().setExpireOnly((conn->capable & FUSE_CAP_EXPIRE_ONLY) != 0);
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  auto& f = front(req);
  Interruptible cancel(req);
  auto r = f.fs().lookup(parent, name, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fuse_entry_param e = entryParam(f, *r);
  if (fuse_reply_entry(req, &e) != 0) f.fs().forget(r->ino, 1);
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  front(req).fs().forget(ino, nlookup);
  fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  auto& fs = front(req).fs();
  for (size_t i = 0; i < count; ++i) fs.forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  auto& f = front(req);
  Interruptible cancel(req);
  auto r = f.fs().getattr(ino, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fuse_reply_attr(req, &*r, f.cacheSeconds());
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
  auto& f = front(req);
  std::optional<off_t> size;
  if (toSet & FUSE_SET_ATTR_SIZE) size = attr->st_size;
  std::optional<std::uint64_t> fh;
  if (fi) fh = fi->fh;
  if (toSet & FUSE_SET_ATTR_MODE) {
    if (int e = errnoOf(f.fs().keepMode(ino, attr->st_mode)); e != 0) {
      fuse_reply_err(req, e);
      return;
    }
  }
  if (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) {
    timespec date = attr->st_mtim;
    if (toSet & FUSE_SET_ATTR_MTIME_NOW) clock_gettime(CLOCK_REALTIME, &date);
    if (int e = errnoOf(f.fs().keepDate(ino, date)); e != 0) {
      fuse_reply_err(req, e);
      return;
    }
  }
  Interruptible cancel(req);
  auto r = f.fs().setattr(ino, size, fh, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fuse_reply_attr(req, &*r, f.cacheSeconds());
}

void opAccess(fuse_req_t req, fuse_ino_t ino, int mask) {
  fuse_reply_err(req, errnoOf(front(req).fs().access(ino, mask)));
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  Interruptible cancel(req);
  auto r = front(req).fs().opendir(ino, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fi->fh = *r;
  // The kernel keeps the names it read and lists the folder again from them:
  // it drops them itself when a program changes the folder, and is told to
  // when the listing changes otherwise (NodeTree::editListingLocked(), the
  // change check).
  fi->cache_readdir = 1;
  fi->keep_cache = 1;
  if (fuse_reply_open(req, fi) != 0) front(req).fs().releasedir(*r);
}

void readdirCommon(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi, bool plus) {
  auto& f = front(req);
  std::vector<char> buf(size);
  size_t used = 0;
  int e = errnoOf(f.fs().readdir(fi->fh, offset, plus, [&](const DirEntry& d, off_t next) {
    size_t room = size - used;
    size_t need;
    if (plus) {
      fuse_entry_param p = entryParam(f, EntryReply{d.ino, d.attr});
      if (d.held) p.ino = 0;  // no entry: the kernel keeps the node and attributes it has
      need = fuse_add_direntry_plus(req, buf.data() + used, room, d.name.c_str(), &p, next);
    } else {
      need = fuse_add_direntry(req, buf.data() + used, room, d.name.c_str(), &d.attr, next);
    }
    if (need > room) return false;
    used += need;
    return true;
  }));
  if (e != 0) {
    fuse_reply_err(req, e);
    return;
  }
  fuse_reply_buf(req, buf.data(), used);
}

void opReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  readdirCommon(req, size, offset, fi, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  readdirCommon(req, size, offset, fi, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  front(req).fs().releasedir(fi->fh);
  fuse_reply_err(req, 0);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& fs = front(req).fs();
  Interruptible cancel(req);
  auto r = fs.open(ino, fi->flags, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fi->fh = r->fh;
  fi->keep_cache = r->keepCache ? 1 : 0;
  if (fuse_reply_open(req, fi) != 0) fs.release(r->fh);
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  auto& f = front(req);
  Interruptible cancel(req);
  auto r = f.fs().create(parent, name, fi->flags, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fi->fh = r->second.fh;
  fi->keep_cache = 0;
  fuse_entry_param e = entryParam(f, r->first);
  if (fuse_reply_create(req, &e, fi) != 0) {
    f.fs().release(r->second.fh);
    f.fs().forget(r->first.ino, 1);
  }
}

void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  // Held until the reply is sent: a release meanwhile (the kernel gives up
  // on a read whose program was killed) must not close the descriptor under it.
  auto from = front(req).fs().readSource(fi->fh);
  if (!from) {
    fuse_reply_err(req, from.error().value);
    return;
  }
  // Served straight from the cached file; libfuse splices it when it can.
  fuse_bufvec bv{};
  bv.count = 1;
  bv.buf[0].size = size;
  bv.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  bv.buf[0].fd = from->fd;
  bv.buf[0].pos = offset;
  fuse_reply_data(req, &bv, FUSE_BUF_SPLICE_MOVE);
}

void opWrite(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t offset,
             fuse_file_info* fi) {
  auto r = front(req).fs().write(fi->fh, data, size, offset, fuse_req_ctx(req)->pid);
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fuse_reply_write(req, *r);
}

// A signal to the closing program ends the wait for the host: the state stays
// queued and is sent later.
void opFlush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  Interruptible cancel(req);
  fuse_reply_err(req, errnoOf(front(req).fs().flush(fi->fh, fuse_req_ctx(req)->pid, cancel.get())));
}

void opFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
  Interruptible cancel(req);
  fuse_reply_err(req, errnoOf(front(req).fs().fsync(fi->fh, cancel.get())));
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  front(req).fs().release(fi->fh);
  fuse_reply_err(req, 0);
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  auto& f = front(req);
  Interruptible cancel(req);
  auto r = f.fs().mkdir(parent, name, cancel.get());
  if (!r) {
    fuse_reply_err(req, r.error().value);
    return;
  }
  fuse_entry_param e = entryParam(f, *r);
  if (fuse_reply_entry(req, &e) != 0) f.fs().forget(r->ino, 1);
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Interruptible cancel(req);
  fuse_reply_err(req, errnoOf(front(req).fs().unlink(parent, name, cancel.get())));
}

void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Interruptible cancel(req);
  fuse_reply_err(req, errnoOf(front(req).fs().rmdir(parent, name, cancel.get())));
}

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
              const char* newName, unsigned int flags) {
  Interruptible cancel(req);
  fuse_reply_err(
      req, errnoOf(front(req).fs().rename(parent, name, newParent, newName, flags, cancel.get())));
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
  // The service's space is not known here. Fetched contents and files being
  // written live in the cache folder, so its file system is what fills up.
  struct statvfs st {};
  if (::statvfs(front(req).fs().cacheRoot().c_str(), &st) != 0) {
    fuse_reply_err(req, errno);
    return;
  }
  st.f_namemax = 255;
  fuse_reply_statfs(req, &st);
}

// Extended attributes: the item's state, identifier and version, and the pin
// switch (see mount_fs.h). A `size` of 0 asks how large the value is.
void replyXattr(fuse_req_t req, const ErrnoOr<std::string>& value, size_t size) {
  if (!value) {
    fuse_reply_err(req, value.error().value);
  } else if (size == 0) {
    fuse_reply_xattr(req, value->size());
  } else if (size < value->size()) {
    fuse_reply_err(req, ERANGE);
  } else {
    fuse_reply_buf(req, value->data(), value->size());
  }
}

void opGetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  replyXattr(req, front(req).fs().getxattr(ino, name), size);
}

void opListxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  replyXattr(req, front(req).fs().listxattr(ino), size);
}

void opSetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
                int) {
  fuse_reply_err(req, errnoOf(front(req).fs().setxattr(ino, name, std::string_view(value, size))));
}

void opRemovexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
  fuse_reply_err(req, errnoOf(front(req).fs().removexattr(ino, name)));
}

// Items are folders and files only; a name the kernel would not take is
// refused as too long first, as by every other operation.
int refusedAsNotFileOrFolder(std::string_view name) {
  return fitsKernel(name) ? EPERM : ENAMETOOLONG;
}
void opMknod(fuse_req_t req, fuse_ino_t, const char* name, mode_t, dev_t) {
  fuse_reply_err(req, refusedAsNotFileOrFolder(name));
}
void opSymlink(fuse_req_t req, const char*, fuse_ino_t, const char* name) {
  fuse_reply_err(req, refusedAsNotFileOrFolder(name));
}
void opLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char* name) {
  fuse_reply_err(req, refusedAsNotFileOrFolder(name));
}

fuse_lowlevel_ops makeOps() {
  fuse_lowlevel_ops ops{};
  ops.init = opInit;
  ops.lookup = opLookup;
  ops.forget = opForget;
  ops.forget_multi = opForgetMulti;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.access = opAccess;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.readdirplus = opReaddirplus;
  ops.releasedir = opReleasedir;
  ops.open = opOpen;
  ops.create = opCreate;
  ops.read = opRead;
  ops.write = opWrite;
  ops.flush = opFlush;
  ops.fsync = opFsync;
  ops.release = opRelease;
  ops.mkdir = opMkdir;
  ops.unlink = opUnlink;
  ops.rmdir = opRmdir;
  ops.rename = opRename;
  ops.statfs = opStatfs;
  ops.getxattr = opGetxattr;
  ops.listxattr = opListxattr;
  ops.setxattr = opSetxattr;
  ops.removexattr = opRemovexattr;
  ops.mknod = opMknod;
  ops.symlink = opSymlink;
  ops.link = opLink;
  return ops;
}

}  // namespace

// ---------------------------------------------------------------- notifier

FuseNotifier::~FuseNotifier() { stop(); }

void FuseNotifier::start(fuse_session* session) {
  std::lock_guard lock(mu_);
  if (thread_.joinable()) return;
  session_ = session;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void FuseNotifier::stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    queue_.clear();
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mu_);
  session_ = nullptr;
}

void FuseNotifier::forgetEntry(Ino parent, const std::string& name) {
  std::lock_guard lock(mu_);
  if (!session_ || stopping_) return;  // nothing mounted: the kernel holds nothing
  queue_.emplace_back(Entry{parent, name});
  cv_.notify_one();
}

void FuseNotifier::forgetInode(Ino ino, bool contents) {
  std::lock_guard lock(mu_);
  if (!session_ || stopping_) return;
  queue_.emplace_back(Inode{ino, contents});
  cv_.notify_one();
}

void FuseNotifier::run() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    auto next = std::move(queue_.front());
    queue_.pop_front();
    fuse_session* se = session_;
    bool expire = expireOnly_.load();
    lock.unlock();
    // Failures (mostly ENOENT: the kernel had nothing cached) need no action.
    if (auto* e = std::get_if<Entry>(&next)) {
      if (expire) {
        fuse_lowlevel_notify_expire_entry(se, e->parent, e->name.c_str(), e->name.size(),
                                          FUSE_LL_EXPIRE_ONLY);
      } else {
        fuse_lowlevel_notify_inval_entry(se, e->parent, e->name.c_str(), e->name.size());
      }
    } else {
      const auto& i = std::get<Inode>(next);
      fuse_lowlevel_notify_inval_inode(se, i.ino, i.contents ? 0 : -1, 0);
    }
    lock.lock();
  }
}

// ---------------------------------------------------------------- session

fp::StatusOr<std::unique_ptr<FuseFront>> FuseFront::mount(MountFs& fs, FuseNotifier& notifier,
                                                          const std::filesystem::path& mountpoint,
                                                          const FuseOptions& options) {
  std::unique_ptr<FuseFront> f(new FuseFront(fs, notifier, options));
  std::string fsName;
  for (char c : options.fsName) fsName += (c == ',' || c == '\\') ? '_' : c;
  // auto_unmount: a helper unmounts the folder should this process die.
  std::vector<std::string> argv = {"fpctl", "-o",
                                   "fsname=" + fsName + ",subtype=fpctl,auto_unmount"};
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(cargv.size()), cargv.data());
  static const fuse_lowlevel_ops ops = makeOps();
  f->session_ = fuse_session_new(&args, &ops, sizeof ops, f.get());
  fuse_opt_free_args(&args);
  if (!f->session_) return fp::fail(posixFailure(EIO, "cannot create the FUSE session"));
  if (fuse_session_mount(f->session_, mountpoint.c_str()) != 0) {
    return fp::fail(posixFailure(EIO, "cannot mount at " + mountpoint.string() +
                                          " (is /dev/fuse there, and the folder an empty "
                                          "directory?)"));
  }
  f->mounted_ = true;
  return f;
}

FuseFront::~FuseFront() {
  if (!session_) return;
  notifier_.stop();
  unmount();
  fuse_session_destroy(session_);
}

void FuseFront::unmount() {
  if (!mounted_) return;
  mounted_ = false;
  fuse_session_unmount(session_);
}

int FuseFront::loop() {
  struct sigaction wake {};
  wake.sa_handler = ignoreWakeup;
  sigemptyset(&wake.sa_mask);
  wake.sa_flags = 0;  // no SA_RESTART: the wait in the loop returns
  struct sigaction previous {};
  sigaction(kWakeupSignal, &wake, &previous);
  {
    std::lock_guard lock(loopMu_);
    loopThread_ = pthread_self();
    loopRunning_ = true;
  }

  notifier_.start(session_);
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, options_.maxThreads);
  fuse_loop_cfg_set_idle_threads(config, 8);
  int r = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  notifier_.stop();

  {
    std::lock_guard lock(loopMu_);
    loopRunning_ = false;
  }
  sigaction(kWakeupSignal, &previous, nullptr);
  return r;
}

void FuseFront::track(fp::Progress* request) {
  std::lock_guard lock(requestsMu_);
  if (cancelling_) request->cancel();
  requests_.insert(request);
}

void FuseFront::untrack(fp::Progress* request) {
  std::lock_guard lock(requestsMu_);
  requests_.erase(request);
}

void FuseFront::exit() {
  {
    std::lock_guard lock(requestsMu_);
    cancelling_ = true;
    for (fp::Progress* r : requests_) r->cancel();
  }
  fuse_session_exit(session_);
  // The loop's own thread sleeps until a worker or a signal wakes it.
  for (;;) {
    {
      std::lock_guard lock(loopMu_);
      if (!loopRunning_) return;
      pthread_kill(loopThread_, kWakeupSignal);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace fpctl::mount
