/* A card that dies at a chosen write, for the crash sweep: loaded with
   LD_PRELOAD into tessarin, and inherited by the tools it starts (mkfs.fat),
   it numbers every write to the card across all those processes and, at
   the write numbered TESSARIN_CRASH_AT, stops the restore there.

     TESSARIN_CRASH_CARD     the card (image file or block device), by an
                             absolute path: the programs change folders
     TESSARIN_CRASH_COUNTER  a file that holds the number of writes so far,
                             shared by every process of the restore (made
                             when missing)
     TESSARIN_CRASH_AT       the number of the write to act on (from 1);
                             missing or 0: only count
     TESSARIN_CRASH_ACTION   what happens at that write:
       kill   the restore dies with it: tessarin and the process writing
              get SIGKILL, the write never reaches the card (the operator
              kills the program, the PC loses power); first, when
              TESSARIN_CRASH_DISK names the image file of the PC's disk
              (behind a loop device), its state at that instant is copied
              to TESSARIN_CRASH_DISK_COPY: what a power cut would leave
       eio    that write and every later one fail with EIO without
              reaching the card (the card pulled from its reader)
       pause  the process waits before the write: TESSARIN_CRASH_PAUSED
              is made, and the write goes on once TESSARIN_CRASH_GO exists
     TESSARIN_CRASH_LOG      when given, a line for every write to the card:
                             "write N PROGRAM OFFSET LENGTH PRINTED", where
                             PRINTED is how many bytes tessarin's standard
                             output (a file) held then: the log lines
                             before it name the step the write belongs to

   A write is any call that changes the card's contents: write, pwrite,
   writev, pwritev (all their forms), fallocate, ftruncate, copy_file_range
   and sendfile into it. The counter is updated under an flock of its file,
   taken anew by every call, so processes and threads never count one
   number twice; the lock is held until the write is done, so when the
   restore is killed at write N, writes 1 to N-1 are on the card and N is
   not. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

typedef ssize_t (*WriteFn)(int, const void*, size_t);
typedef ssize_t (*PwriteFn)(int, const void*, size_t, off_t);
typedef ssize_t (*WritevFn)(int, const struct iovec*, int);
typedef ssize_t (*PwritevFn)(int, const struct iovec*, int, off_t);
typedef ssize_t (*Pwritev2Fn)(int, const struct iovec*, int, off_t, int);
typedef int (*FallocateFn)(int, int, off_t, off_t);
typedef int (*FtruncateFn)(int, off_t);
typedef ssize_t (*CopyRangeFn)(int, off_t*, int, off_t*, size_t, unsigned int);
typedef ssize_t (*SendfileFn)(int, int, off_t*, size_t);

/* The C library's function of that name, looked up once. */
#define REAL(type, name)                                      \
  __extension__({                                             \
    static type real_;                                        \
    if (real_ == NULL) real_ = (type)dlsym(RTLD_NEXT, #name); \
    real_;                                                    \
  })

static int IsTessarin(void) { return strcmp(program_invocation_short_name, "tessarin") == 0; }

/* tessarin names itself to the tools it starts: they kill it with them. */
__attribute__((constructor)) static void NameTheRestore(void) {
  if (!IsTessarin() || getenv("TESSARIN_CRASH_CARD") == NULL) return;
  char pid[24];
  snprintf(pid, sizeof pid, "%ld", (long)getpid());
  setenv("TESSARIN_CRASH_PID", pid, 1);
}

static int ToTheCard(int fd) {
  const char* card = getenv("TESSARIN_CRASH_CARD");
  if (card == NULL || fd < 0) return 0;
  struct stat target, written;
  if (stat(card, &target) != 0 || fstat(fd, &written) != 0) return 0;
  if (S_ISBLK(target.st_mode)) return S_ISBLK(written.st_mode) && written.st_rdev == target.st_rdev;
  return S_ISREG(written.st_mode) && target.st_dev == written.st_dev && target.st_ino == written.st_ino;
}

/* The counter's file, locked; -1 when there is none. */
static int LockCounter(void) {
  const char* counter = getenv("TESSARIN_CRASH_COUNTER");
  if (counter == NULL) return -1;
  const int fd = open(counter, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

static void Unlock(int fd) {
  if (fd >= 0) close(fd); /* closing the last descriptor gives the lock back */
}

static void Append(const char* path, const char* text, size_t length) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  REAL(WriteFn, write)(fd, text, length);
  close(fd);
}

/* How much tessarin has printed so far: its standard output, when that is
   a file, holds the log lines of the steps done (each line is flushed as
   it is logged); -1 when it cannot be told. */
static long long PrintedSoFar(void) {
  const char* restore = getenv("TESSARIN_CRASH_PID");
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/fd/1", restore != NULL ? restore : "self");
  struct stat out;
  if (stat(path, &out) != 0 || !S_ISREG(out.st_mode)) return -1;
  return (long long)out.st_size;
}

static void LogWrite(long long number, off_t offset, size_t length) {
  const char* log = getenv("TESSARIN_CRASH_LOG");
  if (log == NULL) return;
  char line[200];
  const int n = snprintf(line, sizeof line, "write %lld %s %lld %zu %lld\n", number, program_invocation_short_name,
                         (long long)offset, length, PrintedSoFar());
  if (n > 0) Append(log, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

/* The PC's disk as it is at this instant: the image behind the loop device
   its file system is mounted from, copied before anything else can reach
   it (a journal commit, the page cache written back). What the program
   did not flush by now is not in the copy. */
static void CopyThePcsDisk(void) {
  const char* disk = getenv("TESSARIN_CRASH_DISK");
  const char* copy = getenv("TESSARIN_CRASH_DISK_COPY");
  if (disk == NULL || copy == NULL) return;
  const int from = open(disk, O_RDONLY | O_CLOEXEC);
  const int to = open(copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  struct stat size;
  if (from >= 0 && to >= 0 && fstat(from, &size) == 0 && REAL(FtruncateFn, ftruncate)(to, size.st_size) == 0) {
    static char buffer[1 << 16];
    /* Only the parts that hold data: the image is sparse. */
    for (off_t at = lseek(from, 0, SEEK_DATA); at >= 0 && at < size.st_size; at = lseek(from, at, SEEK_DATA)) {
      const off_t hole = lseek(from, at, SEEK_HOLE);
      while (at < hole) {
        const ssize_t n = pread(from, buffer, sizeof buffer, at);
        if (n <= 0 || REAL(PwriteFn, pwrite)(to, buffer, (size_t)n, at) != n) break;
        at += n;
      }
      if (at < hole) break;
    }
  }
  if (from >= 0) close(from);
  if (to >= 0) close(to);
}

static void KillTheRestore(void) {
  CopyThePcsDisk();
  const char* restore = getenv("TESSARIN_CRASH_PID");
  const pid_t self = getpid();
  pid_t pid = restore != NULL ? (pid_t)strtol(restore, NULL, 10) : getppid();
  if (pid > 1 && pid != self) kill(pid, SIGKILL);
  raise(SIGKILL);
  for (;;) pause();
}

static void WaitForGo(void) {
  const char* paused = getenv("TESSARIN_CRASH_PAUSED");
  const char* go = getenv("TESSARIN_CRASH_GO");
  if (paused != NULL) Append(paused, "", 0);
  if (go == NULL) return;
  /* Never longer than a minute: a test that died must not leave a
     restore waiting for ever. */
  for (int i = 0; i < 6000 && access(go, F_OK) != 0; ++i) {
    const struct timespec tick = {0, 10 * 1000 * 1000};
    nanosleep(&tick, NULL);
  }
}

/* Before a write to the card: counts it and says whether it may go on.
   *lock is the counter's descriptor, to be given back once the write is
   done. */
static int MayWrite(int fd, off_t offset, size_t length, int* lock) {
  *lock = -1;
  if (!ToTheCard(fd)) return 1;
  *lock = LockCounter();
  if (*lock < 0) return 1;
  char text[32] = {0};
  const ssize_t n = pread(*lock, text, sizeof text - 1, 0);
  const long long number = (n > 0 ? strtoll(text, NULL, 10) : 0) + 1;
  const int length10 = snprintf(text, sizeof text, "%lld\n", number);
  REAL(PwriteFn, pwrite)(*lock, text, (size_t)length10, 0);
  REAL(FtruncateFn, ftruncate)(*lock, length10);
  LogWrite(number, offset, length);
  const char* at = getenv("TESSARIN_CRASH_AT");
  const long long chosen = at != NULL ? strtoll(at, NULL, 10) : 0;
  const char* action = getenv("TESSARIN_CRASH_ACTION");
  if (chosen <= 0 || action == NULL || number < chosen) return 1;
  if (strcmp(action, "kill") == 0 && number == chosen) KillTheRestore();
  if (strcmp(action, "pause") == 0 && number == chosen) WaitForGo();
  if (strcmp(action, "eio") == 0) {
    Unlock(*lock);
    *lock = -1;
    errno = EIO;
    return 0;
  }
  return 1;
}

static off_t Position(int fd) { return lseek(fd, 0, SEEK_CUR); }

static size_t Total(const struct iovec* iov, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  return total;
}

/* The body of every hooked call: the write itself between MayWrite and
   the counter's unlock, its errno kept. */
#define GUARDED(offset, length, call)                    \
  do {                                                   \
    int lock;                                            \
    if (!MayWrite(fd, offset, length, &lock)) return -1; \
    __typeof__(call) result = call;                      \
    const int error = errno;                             \
    Unlock(lock);                                        \
    errno = error;                                       \
    return result;                                       \
  } while (0)

ssize_t write(int fd, const void* buf, size_t count) {
  GUARDED(Position(fd), count, REAL(WriteFn, write)(fd, buf, count));
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  GUARDED(offset, count, REAL(PwriteFn, pwrite)(fd, buf, count, offset));
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  GUARDED(offset, count, REAL(PwriteFn, pwrite64)(fd, buf, count, offset));
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  GUARDED(Position(fd), Total(iov, count), REAL(WritevFn, writev)(fd, iov, count));
}

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  GUARDED(offset, Total(iov, count), REAL(PwritevFn, pwritev)(fd, iov, count, offset));
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off_t offset) {
  GUARDED(offset, Total(iov, count), REAL(PwritevFn, pwritev64)(fd, iov, count, offset));
}

ssize_t pwritev2(int fd, const struct iovec* iov, int count, off_t offset, int flags) {
  GUARDED(offset < 0 ? Position(fd) : offset, Total(iov, count),
          REAL(Pwritev2Fn, pwritev2)(fd, iov, count, offset, flags));
}

ssize_t pwritev64v2(int fd, const struct iovec* iov, int count, off_t offset, int flags) {
  GUARDED(offset < 0 ? Position(fd) : offset, Total(iov, count),
          REAL(Pwritev2Fn, pwritev64v2)(fd, iov, count, offset, flags));
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  GUARDED(offset, (size_t)length, REAL(FallocateFn, fallocate)(fd, mode, offset, length));
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
  GUARDED(offset, (size_t)length, REAL(FallocateFn, fallocate64)(fd, mode, offset, length));
}

int ftruncate(int fd, off_t length) { GUARDED(length, 0, REAL(FtruncateFn, ftruncate)(fd, length)); }

int ftruncate64(int fd, off_t length) { GUARDED(length, 0, REAL(FtruncateFn, ftruncate64)(fd, length)); }

ssize_t copy_file_range(int in, off_t* inOffset, int fd, off_t* offset, size_t length, unsigned int flags) {
  GUARDED(offset != NULL ? *offset : Position(fd), length,
          REAL(CopyRangeFn, copy_file_range)(in, inOffset, fd, offset, length, flags));
}

ssize_t sendfile(int fd, int in, off_t* inOffset, size_t count) {
  GUARDED(Position(fd), count, REAL(SendfileFn, sendfile)(fd, in, inOffset, count));
}

ssize_t sendfile64(int fd, int in, off_t* inOffset, size_t count) {
  GUARDED(Position(fd), count, REAL(SendfileFn, sendfile64)(fd, in, inOffset, count));
}
