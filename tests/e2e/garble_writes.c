/* A card reader that does not keep what it is given, for the e2e suite:
   loaded with LD_PRELOAD into tessarin, it lets one sector write through
   with one byte changed, while the program is told that all went well.

     TESSARIN_GARBLE_FILE    the card image (its path as opened)
     TESSARIN_GARBLE_OFFSET  the byte offset of the sector on the image
     TESSARIN_GARBLE_BYTE    which byte of that sector is flipped

   Only tessarin itself is affected, not the tools it starts; only whole
   sector writes at that offset of that file are changed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*PwriteFn)(int, const void*, size_t, off_t);

static int Targeted(int fd, off_t offset, size_t count, long* byte) {
  const char* file = getenv("TESSARIN_GARBLE_FILE");
  const char* at = getenv("TESSARIN_GARBLE_OFFSET");
  const char* which = getenv("TESSARIN_GARBLE_BYTE");
  if (file == NULL || at == NULL || which == NULL || count != 512) return 0;
  if (strcmp(program_invocation_short_name, "tessarin") != 0) return 0;
  if (offset != (off_t)strtoll(at, NULL, 10)) return 0;
  struct stat target, written;
  if (stat(file, &target) != 0 || fstat(fd, &written) != 0) return 0;
  if (target.st_dev != written.st_dev || target.st_ino != written.st_ino) return 0;
  *byte = strtol(which, NULL, 10);
  return *byte >= 0 && *byte < 512;
}

static ssize_t Garbled(PwriteFn real, int fd, const void* buf, size_t count, off_t offset) {
  long byte = 0;
  if (!Targeted(fd, offset, count, &byte)) return real(fd, buf, count, offset);
  unsigned char copy[512];
  memcpy(copy, buf, sizeof copy);
  copy[byte] ^= 0xFF;
  return real(fd, copy, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static PwriteFn real;
  if (real == NULL) real = (PwriteFn)dlsym(RTLD_NEXT, "pwrite");
  return Garbled(real, fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  static PwriteFn real;
  if (real == NULL) real = (PwriteFn)dlsym(RTLD_NEXT, "pwrite64");
  return Garbled(real, fd, buf, count, offset);
}
