// Lets the Linux library load on any glibc from 2.17 on, although it is
// built on a current one with the C++ runtime linked in.
//
// The linker binds each call to the newest version of a glibc symbol, and a
// system whose glibc lacks that version refuses the whole library. Every
// symbol the library (or the static libstdc++, libgcc and zstd in it) would
// take at a version newer than 2.17 is defined here instead, hidden, and
// either forwards to the version of the same function that glibc has always
// had (`.symver`), or, where old glibc has no such function, does its work
// from older calls. Only what the build actually pulls in is here; the
// library's floor check (tests/native_floor.sh) names any symbol that gets
// past this file.
//
// Not part of sanitizer builds: the sanitizers intercept these names.
#undef _FILE_OFFSET_BITS  // this file defines the 64-bit calls themselves
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The version every function of the processor's first glibc carries, and the
// version argument the old stat calls take (_STAT_VER, no longer in the
// headers).
#if defined(__x86_64__)
#define BASE "GLIBC_2.2.5"
#define STAT_VERSION 1
#elif defined(__i386__)
#define BASE "GLIBC_2.0"
#define STAT_VERSION 3
#elif defined(__aarch64__)
#define BASE "GLIBC_2.17"
#define STAT_VERSION 0
#elif defined(__arm__)
#define BASE "GLIBC_2.4"
#define STAT_VERSION 3
#elif defined(__s390x__)
#define BASE "GLIBC_2.2"
#define STAT_VERSION 1
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define BASE "GLIBC_2.17"
#define STAT_VERSION 1
#elif defined(__riscv) && __riscv_xlen == 64
#define BASE "GLIBC_2.27"
#define STAT_VERSION 0
#else
#error "no glibc versions known for this processor: build with -DKELVO4_PORTABLE=OFF"
#endif
// Where i386's versions differ from its first: the current pthread_create,
// and the stat calls with a 64-bit inode.
#if defined(__i386__)
#define PTHREAD_CREATE "GLIBC_2.1"
#define XSTAT "GLIBC_2.2"
#else
#define PTHREAD_CREATE BASE
#define XSTAT BASE
#endif

#define HIDDEN __attribute__((visibility("hidden")))
// old_NAME is NAME at glibc version VERSION.
#define OLD(name, version) __asm__(".symver old_" #name "," #name "@" version)

// Threads: glibc 2.34 moved these from libpthread into libc under new
// versions; the old ones are still there (and in libpthread before 2.34).
OLD(pthread_create, PTHREAD_CREATE);
OLD(pthread_detach, BASE);
OLD(pthread_join, BASE);
OLD(pthread_once, BASE);
OLD(pthread_key_create, BASE);
OLD(pthread_key_delete, BASE);
OLD(pthread_getspecific, BASE);
OLD(pthread_setspecific, BASE);
OLD(pthread_kill, BASE);
OLD(pthread_sigmask, BASE);
int old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int old_pthread_detach(pthread_t);
int old_pthread_join(pthread_t, void**);
int old_pthread_once(pthread_once_t*, void (*)(void));
int old_pthread_key_create(pthread_key_t*, void (*)(void*));
int old_pthread_key_delete(pthread_key_t);
void* old_pthread_getspecific(pthread_key_t);
int old_pthread_setspecific(pthread_key_t, const void*) __attr_access_none(2);
int old_pthread_kill(pthread_t, int);
int old_pthread_sigmask(int, const sigset_t*, sigset_t*);

HIDDEN int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
  return old_pthread_create(thread, attributes, start, argument);
}
HIDDEN int pthread_detach(pthread_t thread) { return old_pthread_detach(thread); }
HIDDEN int pthread_join(pthread_t thread, void** result) { return old_pthread_join(thread, result); }
HIDDEN int pthread_once(pthread_once_t* once, void (*run)(void)) { return old_pthread_once(once, run); }
HIDDEN int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return old_pthread_key_create(key, destructor);
}
// libstdc++ takes this name's presence to mean that threads are available.
HIDDEN int __pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return old_pthread_key_create(key, destructor);
}
HIDDEN int pthread_key_delete(pthread_key_t key) { return old_pthread_key_delete(key); }
HIDDEN void* pthread_getspecific(pthread_key_t key) { return old_pthread_getspecific(key); }
HIDDEN int pthread_setspecific(pthread_key_t key, const void* value) { return old_pthread_setspecific(key, value); }
HIDDEN int pthread_kill(pthread_t thread, int signal) { return old_pthread_kill(thread, signal); }
HIDDEN int pthread_sigmask(int how, const sigset_t* set, sigset_t* old) { return old_pthread_sigmask(how, set, old); }

// glibc 2.32 tells libstdc++ whether the process has one thread, to skip
// atomic operations; without it, they are always atomic.
HIDDEN char __libc_single_threaded = 0;

// Files: fcntl64 (2.28) is fcntl with the 64-bit lock commands, which the
// old fcntl passes through; stat64 and fstat64 (2.33) were inline calls of
// __xstat64 and __fxstat64 before.
OLD(fcntl, BASE);
OLD(__xstat64, XSTAT);
OLD(__fxstat64, XSTAT);
int old_fcntl(int, int, ...);
int old___xstat64(int, const char*, struct stat64*);
int old___fxstat64(int, int, struct stat64*);

HIDDEN int fcntl64(int file, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);  // an int or a pointer, as glibc reads it
  va_end(arguments);
  return old_fcntl(file, command, argument);
}
HIDDEN int stat64(const char* path, struct stat64* info) { return old___xstat64(STAT_VERSION, path, info); }
HIDDEN int fstat64(int file, struct stat64* info) { return old___fxstat64(STAT_VERSION, file, info); }

// Randomness (2.25 and 2.36), which libstdc++'s random_device can ask for;
// the library itself never does.
HIDDEN int getentropy(void* buffer, size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  unsigned char* at = buffer;
  while (length > 0) {
    const long got = syscall(SYS_getrandom, at, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    at += got;
    length -= (size_t)got;
  }
  return 0;
}
HIDDEN uint32_t arc4random(void) {
  uint32_t value;
  if (getentropy(&value, sizeof value) != 0) abort();  // as glibc does without a source
  return value;
}

// thread_local objects with destructors (2.18). glibc's own, where it has
// one, also keeps the library loaded while such destructors are pending;
// before 2.18 they go on a per-thread list that a key's destructor runs.
OLD(dlsym, BASE);
void* old_dlsym(void*, const char*);

struct ThreadExit {
  void (*destructor)(void*);
  void* object;
  struct ThreadExit* next;
};
static pthread_once_t listOnce = PTHREAD_ONCE_INIT;
static pthread_key_t listKey;
static int listReady;

static void runThreadExits(void* list) {
  // Destructors may register more: those start a new list, which the
  // thread's exit runs in a further round.
  for (struct ThreadExit* entry = list; entry;) {
    struct ThreadExit* next = entry->next;
    entry->destructor(entry->object);
    free(entry);
    entry = next;
  }
}
static void makeListKey(void) { listReady = pthread_key_create(&listKey, runThreadExits) == 0; }

// The list, last registered first run (the tests call it directly).
HIDDEN int kelvo4_thread_exit_list(void (*destructor)(void*), void* object) {
  if (pthread_once(&listOnce, makeListKey) != 0 || !listReady) return -1;
  struct ThreadExit* entry = malloc(sizeof *entry);
  if (!entry) return -1;
  entry->destructor = destructor;
  entry->object = object;
  entry->next = pthread_getspecific(listKey);
  if (pthread_setspecific(listKey, entry) != 0) {
    free(entry);
    return -1;
  }
  return 0;
}

typedef int (*ThreadExitFn)(void (*)(void*), void*, void*);
static ThreadExitFn glibcThreadExit;
static void findGlibcThreadExit(void) {
  glibcThreadExit = (ThreadExitFn)old_dlsym(RTLD_DEFAULT, "__cxa_thread_atexit_impl");
}

HIDDEN int __cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* library) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  if (pthread_once(&once, findGlibcThreadExit) != 0) return -1;
  return glibcThreadExit ? glibcThreadExit(destructor, object, library) : kelvo4_thread_exit_list(destructor, object);
}

// The object that holds a code address, and its unwind tables (2.35): what
// libgcc's unwinder asks for each frame of a thrown exception. Found as
// libgcc found it before, through dl_iterate_phdr.
#if defined(__arm__)
#define UNWIND_SEGMENT PT_ARM_EXIDX
#else
#define UNWIND_SEGMENT PT_GNU_EH_FRAME
#endif

struct FindObject {
  uintptr_t address;
  struct dl_find_object* result;
  int found;
};

static int findObjectIn(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  struct FindObject* find = data;
  uintptr_t start = UINTPTR_MAX, end = 0;
  int holds = 0;
  const ElfW(Phdr)* unwind = NULL;
  const ElfW(Phdr)* dynamic = NULL;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
    if (segment->p_type == PT_LOAD) {
      const uintptr_t from = info->dlpi_addr + segment->p_vaddr, to = from + segment->p_memsz;
      if (from < start) start = from;
      if (to > end) end = to;
      if (find->address >= from && find->address < to) holds = 1;
    } else if (segment->p_type == UNWIND_SEGMENT) {
      unwind = segment;
    } else if (segment->p_type == PT_DYNAMIC) {
      dynamic = segment;
    }
  }
  if (!holds) return 0;
  struct dl_find_object* result = find->result;
  memset(result, 0, sizeof *result);
  result->dlfo_map_start = (void*)start;
  result->dlfo_map_end = (void*)end;
  result->dlfo_eh_frame = unwind ? (void*)(info->dlpi_addr + unwind->p_vaddr) : NULL;
#if DLFO_STRUCT_HAS_EH_COUNT
  result->dlfo_eh_count = unwind ? (int)(unwind->p_memsz / 8) : 0;
#endif
#if DLFO_STRUCT_HAS_EH_DBASE
  // i386's data-relative encodings count from the object's GOT, whose entry
  // in the dynamic section the loader has relocated.
  if (dynamic) {
    for (const ElfW(Dyn)* entry = (const ElfW(Dyn)*)(info->dlpi_addr + dynamic->p_vaddr); entry->d_tag != DT_NULL;
         ++entry) {
      if (entry->d_tag == DT_PLTGOT) result->dlfo_eh_dbase = (void*)entry->d_un.d_ptr;
    }
  }
#else
  (void)dynamic;
#endif
  find->found = 1;
  return 1;
}

HIDDEN int _dl_find_object(void* address, struct dl_find_object* result) {
  struct FindObject find = {(uintptr_t)address, result, 0};
  dl_iterate_phdr(findObjectIn, &find);
  return find.found ? 0 : -1;
}
