/* A test hook preloaded into the program under test (LD_PRELOAD): the
 * first time the program opens, for reading, a file whose path ends with
 * TESSARIN_HOOK_AFTER_OPENING (the TESSARIN_HOOK_NTH time, when given),
 * the card image TESSARIN_HOOK_CARD turns read-only, and the program gets
 * the signal TESSARIN_HOOK_SIGNAL twice, as from an operator pressing
 * Ctrl+C twice. So the card changes, or the restore is stopped, between
 * two steps of a restore at the same point on every run. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static int fired, seen;

static void Maybe(const char* path, int flags) {
  const char* card = getenv("TESSARIN_HOOK_CARD");
  const char* signal = getenv("TESSARIN_HOOK_SIGNAL");
  const char* trigger = getenv("TESSARIN_HOOK_AFTER_OPENING");
  const char* nth = getenv("TESSARIN_HOOK_NTH");
  if (fired || path == NULL || (card == NULL && signal == NULL) || trigger == NULL) return;
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) != 0) return;
  const size_t n = strlen(path), m = strlen(trigger);
  if (n < m || strcmp(path + n - m, trigger) != 0) return;
  if (++seen < (nth != NULL ? atoi(nth) : 1)) return;
  fired = 1;
  if (card != NULL) chmod(card, 0444);
  if (signal != NULL) {
    raise(atoi(signal));
    raise(atoi(signal));
  }
}

static mode_t ModeOf(int flags, va_list ap) { return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0; }

int open(const char* path, int flags, ...) {
  static int (*real)(const char*, int, ...);
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  if (real == NULL) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  Maybe(path, flags);
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  static int (*real)(const char*, int, ...);
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  if (real == NULL) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
  Maybe(path, flags);
  return real(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  static int (*real)(int, const char*, int, ...);
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  if (real == NULL) real = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
  Maybe(path, flags);
  return real(dir, path, flags, mode);
}
