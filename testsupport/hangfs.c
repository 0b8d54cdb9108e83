/* hangfs: a FUSE file system that shows a backing folder and misbehaves on
 * demand, the way a dead network mount or a failing disk does. For tests of
 * what happens when storage stops answering. Files can be created, written,
 * renamed and removed (passed through to the backing folder), so that a
 * program moving files within the mount can be stopped half-way.
 *
 *   hangfs BACKING MOUNTPOINT CONTROL
 *
 * Runs in the foreground until SIGTERM (then unmounts). What goes wrong is
 * read from files in the folder CONTROL at every operation, so a test can
 * change it while the file system runs. Each file lists paths relative to
 * the mount, one per line ("." for the root itself):
 *
 *   lookup  looking the path up (getattr, opendir, readdir, open) blocks
 *           for as long as the line is there
 *   read    reading the file blocks for as long as the line is there
 *   slow    each read of the file first sleeps; lines are "MS PATH"
 *   eio     reading the file fails with EIO
 *   rename  renaming the path (as the source) blocks for as long as the
 *           line is there, then the rename happens
 *
 * Reads bypass the page cache (direct_io) and nothing is cached, so every
 * read and lookup reaches this program.
 */
#define FUSE_USE_VERSION 35
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char backing[PATH_MAX];
static char control[PATH_MAX];

/* "/a/b" -> "a/b", "/" -> "." */
static const char *relative(const char *path) {
  while (*path == '/') ++path;
  return *path ? path : ".";
}

/* The delay in ms of `path` in control file `kind` (0 for lines without a
 * number), or -1 when the path is not listed. */
static long listed(const char *kind, const char *path) {
  char file[PATH_MAX + 16];
  snprintf(file, sizeof file, "%s/%s", control, kind);
  FILE *f = fopen(file, "re");
  if (!f) return -1;
  const char *want = relative(path);
  char line[PATH_MAX + 32];
  long found = -1;
  while (found < 0 && fgets(line, sizeof line, f)) {
    line[strcspn(line, "\n")] = '\0';
    char *name = line;
    long ms = 0;
    if (strcmp(kind, "slow") == 0) {
      ms = strtol(line, &name, 10);
      while (*name == ' ') ++name;
    }
    if (strcmp(name, want) == 0) found = ms;
  }
  fclose(f);
  return found;
}

static void blockWhileListed(const char *kind, const char *path) {
  while (listed(kind, path) >= 0) usleep(10000);
}

static void backingPath(char *out, const char *path) { snprintf(out, PATH_MAX, "%s%s", backing, path); }

static void *hangInit(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  (void)conn;
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->use_ino = 1;
  return NULL;
}

static int hangGetattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  (void)fi;
  blockWhileListed("lookup", path);
  char real[PATH_MAX];
  backingPath(real, path);
  return lstat(real, st) == 0 ? 0 : -errno;
}

static int hangReadlink(const char *path, char *buf, size_t size) {
  char real[PATH_MAX];
  backingPath(real, path);
  ssize_t n = readlink(real, buf, size - 1);
  if (n < 0) return -errno;
  buf[n] = '\0';
  return 0;
}

static int hangOpendir(const char *path, struct fuse_file_info *fi) {
  (void)fi;
  blockWhileListed("lookup", path);
  return 0;
}

static int hangReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
                       enum fuse_readdir_flags flags) {
  (void)offset;
  (void)fi;
  (void)flags;
  blockWhileListed("lookup", path);
  char real[PATH_MAX];
  backingPath(real, path);
  DIR *d = opendir(real);
  if (!d) return -errno;
  struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = e->d_ino;
    st.st_mode = (mode_t)(DTTOIF(e->d_type));
    if (fill(buf, e->d_name, &st, 0, 0)) break;
  }
  closedir(d);
  return 0;
}

static int hangOpen(const char *path, struct fuse_file_info *fi) {
  blockWhileListed("lookup", path);
  char real[PATH_MAX];
  backingPath(real, path);
  int fd = open(real, (fi->flags & (O_ACCMODE | O_APPEND | O_TRUNC)) | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  fi->direct_io = 1;
  return 0;
}

static int hangRead(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi) {
  blockWhileListed("read", path);
  long ms = listed("slow", path);
  if (ms > 0) usleep((useconds_t)ms * 1000);
  if (listed("eio", path) >= 0) return -EIO;
  ssize_t n = pread((int)fi->fh, buf, size, offset);
  return n < 0 ? -errno : (int)n;
}

static int hangCreate(const char *path, mode_t mode, struct fuse_file_info *fi) {
  char real[PATH_MAX];
  backingPath(real, path);
  int fd = open(real, (fi->flags & (O_ACCMODE | O_EXCL | O_TRUNC | O_APPEND)) | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                mode);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  fi->direct_io = 1;
  return 0;
}

static int hangWrite(const char *path, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi) {
  (void)path;
  ssize_t n = pwrite((int)fi->fh, buf, size, offset);
  return n < 0 ? -errno : (int)n;
}

static int hangFsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  return (datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh)) == 0 ? 0 : -errno;
}

static int hangMkdir(const char *path, mode_t mode) {
  char real[PATH_MAX];
  backingPath(real, path);
  return mkdir(real, mode) == 0 ? 0 : -errno;
}

static int hangUnlink(const char *path) {
  char real[PATH_MAX];
  backingPath(real, path);
  return unlink(real) == 0 ? 0 : -errno;
}

static int hangRmdir(const char *path) {
  char real[PATH_MAX];
  backingPath(real, path);
  return rmdir(real) == 0 ? 0 : -errno;
}

static int hangRename(const char *from, const char *to, unsigned int flags) {
  blockWhileListed("rename", from);
  char realFrom[PATH_MAX], realTo[PATH_MAX];
  backingPath(realFrom, from);
  backingPath(realTo, to);
  return renameat2(AT_FDCWD, realFrom, AT_FDCWD, realTo, flags) == 0 ? 0 : -errno;
}

static int hangRelease(const char *path, struct fuse_file_info *fi) {
  (void)path;
  close((int)fi->fh);
  return 0;
}

static int hangStatfs(const char *path, struct statvfs *st) {
  (void)path;
  return statvfs(backing, st) == 0 ? 0 : -errno;
}

static int hangAccess(const char *path, int mask) {
  blockWhileListed("lookup", path);
  char real[PATH_MAX];
  backingPath(real, path);
  return access(real, mask) == 0 ? 0 : -errno;
}

static const struct fuse_operations hangOps = {
    .init = hangInit,
    .getattr = hangGetattr,
    .readlink = hangReadlink,
    .opendir = hangOpendir,
    .readdir = hangReaddir,
    .open = hangOpen,
    .read = hangRead,
    .release = hangRelease,
    .create = hangCreate,
    .write = hangWrite,
    .fsync = hangFsync,
    .mkdir = hangMkdir,
    .unlink = hangUnlink,
    .rmdir = hangRmdir,
    .rename = hangRename,
    .statfs = hangStatfs,
    .access = hangAccess,
};

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: hangfs BACKING MOUNTPOINT CONTROL\n");
    return 2;
  }
  if (!realpath(argv[1], backing) || !realpath(argv[3], control)) {
    perror("hangfs");
    return 2;
  }
  /* -f: foreground; -o default_permissions: the kernel checks modes;
   * fsname: a local-looking source, so the mount is not taken for a
   * network share. */
  char *args[] = {argv[0], argv[2], "-f", "-o", "default_permissions,fsname=hangfs,subtype=hangfs", NULL};
  return fuse_main(5, args, &hangOps, NULL);
}
