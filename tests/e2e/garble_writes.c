/* A card reader that does not keep what it is given, for the e2e suite:
   loaded with LD_PRELOAD into tessarin, it changes one byte of what is
   written to the card while the program is told that all went well.

     TESSARIN_GARBLE_FILE    the card image (its path as opened)
   and either
     TESSARIN_GARBLE_AT      the byte offset on the image whose byte is
                             flipped in every write that covers it
   or
     TESSARIN_GARBLE_MARK    a text: its first byte is changed in every
                             write whose data holds it (the data of a file
                             that carries the text, a directory entry)
     TESSARIN_GARBLE_MARK_BYTE  which byte of the text instead (from 0)
   and
     TESSARIN_GARBLE_XOR     the bits changed (default FF)
     TESSARIN_GARBLE_SKIP    how many writes that cover the offset pass
                             unchanged first (default 0)

   A card held as a block device (a loop device over an image) can also
   change beneath the kernel's copy of its sectors:
     TESSARIN_GARBLE_BENEATH the image behind the device named by
                             TESSARIN_GARBLE_FILE
   Then writes pass unchanged, and after each fsync of the device the byte
   at TESSARIN_GARBLE_AT, or the byte of TESSARIN_GARBLE_MARK wherever the
   image holds the text, is changed in the image itself: the kernel's copy
   still holds what was written, the card no longer does. Only a read that
   goes past that copy sees the change.

   Only tessarin itself is affected, not the tools it starts, and only
   writes to that file. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*PwriteFn)(int, const void*, size_t, off_t);

static int ToTheCard(int fd) {
  const char* file = getenv("TESSARIN_GARBLE_FILE");
  if (file == NULL || strcmp(program_invocation_short_name, "tessarin") != 0) return 0;
  struct stat target, written;
  if (stat(file, &target) != 0 || fstat(fd, &written) != 0) return 0;
  return target.st_dev == written.st_dev && target.st_ino == written.st_ino;
}

/* The bits to change. */
static unsigned char Bits(void) {
  const char* bits = getenv("TESSARIN_GARBLE_XOR");
  return (unsigned char)(bits != NULL ? strtoul(bits, NULL, 16) : 0xFF);
}

/* Where in the buffer the byte to change lies; -1 for none. */
static long ByteToChange(const unsigned char* buf, size_t count, off_t offset) {
  const char* at = getenv("TESSARIN_GARBLE_AT");
  const char* mark = getenv("TESSARIN_GARBLE_MARK");
  if (at != NULL) {
    const long long where = strtoll(at, NULL, 10);
    if (where < offset || where >= offset + (off_t)count) return -1;
    static long passed = 0;
    const char* skip = getenv("TESSARIN_GARBLE_SKIP");
    if (skip != NULL && passed < strtol(skip, NULL, 10)) {
      ++passed;
      return -1;
    }
    return (long)(where - offset);
  }
  if (mark != NULL && *mark != '\0') {
    const size_t length = strlen(mark);
    const char* which = getenv("TESSARIN_GARBLE_MARK_BYTE");
    const long byte = which != NULL ? strtol(which, NULL, 10) : 0;
    const void* found = memmem(buf, count, mark, length);
    if (found == NULL || byte < 0 || (size_t)byte >= length) return -1;
    return (long)((const unsigned char*)found - buf) + byte;
  }
  return -1;
}

static ssize_t Garbled(PwriteFn real, int fd, const void* buf, size_t count, off_t offset) {
  if (!ToTheCard(fd) || getenv("TESSARIN_GARBLE_BENEATH") != NULL) return real(fd, buf, count, offset);
  const long byte = ByteToChange(buf, count, offset);
  if (byte < 0) return real(fd, buf, count, offset);
  unsigned char* copy = malloc(count);
  if (copy == NULL) {
    errno = ENOMEM;
    return -1;
  }
  memcpy(copy, buf, count);
  copy[byte] ^= Bits();
  const ssize_t n = real(fd, copy, count, offset);
  free(copy);
  return n;
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

/* Every place of the image that holds the mark, its byte changed: the
   mark is then gone there, and the next sync leaves it alone. */
static void ChangeMarksIn(int image, PwriteFn real, const char* mark) {
  const size_t length = strlen(mark);
  const char* which = getenv("TESSARIN_GARBLE_MARK_BYTE");
  const long byte = which != NULL ? strtol(which, NULL, 10) : 0;
  if (length == 0 || length > 4096 || byte < 0 || (size_t)byte >= length) return;
  enum { kChunk = 1 << 20 };
  unsigned char* chunk = malloc(kChunk + length);
  if (chunk == NULL) return;
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(image, chunk, kChunk + length - 1, offset);
    if (n < (ssize_t)length) break;
    const unsigned char* from = chunk;
    const unsigned char* found;
    while ((found = memmem(from, (size_t)n - (size_t)(from - chunk), mark, length)) != NULL) {
      unsigned char changed = found[byte] ^ Bits();
      real(image, &changed, 1, offset + (found - chunk) + byte);
      from = found + 1;
    }
    offset += kChunk;
  }
  free(chunk);
}

/* The byte as the device's cache holds it (what the program wrote), or the
   marks, changed in the image beneath: idempotent, however often the card
   is synced. */
static void ChangeBeneath(int fd) {
  const char* beneath = getenv("TESSARIN_GARBLE_BENEATH");
  const char* at = getenv("TESSARIN_GARBLE_AT");
  const char* mark = getenv("TESSARIN_GARBLE_MARK");
  if (beneath == NULL || (at == NULL && mark == NULL) || !ToTheCard(fd)) return;
  const int image = open(beneath, O_RDWR | O_CLOEXEC);
  if (image < 0) return;
  static PwriteFn real;
  if (real == NULL) real = (PwriteFn)dlsym(RTLD_NEXT, "pwrite");
  if (at != NULL) {
    const off_t where = (off_t)strtoll(at, NULL, 10);
    unsigned char byte = 0;
    if (pread(fd, &byte, 1, where) == 1) {
      byte ^= Bits();
      real(image, &byte, 1, where);
    }
  } else {
    ChangeMarksIn(image, real, mark);
  }
  fdatasync(image);
  close(image);
}

int fsync(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  const int result = real(fd);
  if (result == 0) ChangeBeneath(fd);
  return result;
}
