// quarvo/python/glibc_floor.cpp: the extension's oldest C library.
//
// The module carries libstdc++ and libgcc inside it, and those archives were
// built against this machine's glibc: left alone, they would bind a few of
// their calls to the newest versions of glibc symbols (2.32 to 2.36) and the
// wheel would load only where glibc is at least that new. This unit, linked
// into the module only, defines those symbols itself, each in terms of an
// interface glibc has offered since its first release for the architecture
// (2.2.5 on x86_64, 2.17 on aarch64), so that the static link binds them here.
// The version script keeps every one of them inside the module: nothing else
// in the process sees them. It is also what binds a reference such as
// pthread_once@GLIBC_2.2.5 to glibc rather than back to the stand-in of the
// same name, so whatever links this unit links that script too.
//
//   symbol                            what libstdc++ / libgcc use it for
//   pthread_once, __pthread_key_create  one-time initialisation, thread keys (2.34)
//   stat, lstat, fstat, fstat64        std::filesystem and our own file checks (2.33)
//   __libc_single_threaded            skipping atomics in a process without threads (2.32)
//   _dl_find_object                   the unwinder finding a frame's tables (2.35)
//   getentropy, arc4random            std::random_device, which we never build (2.25, 2.36)
//
// Each stand-in gives the answer the newer symbol gives, except
// __libc_single_threaded, which always says "threads may exist": libstdc++
// then always takes the atomic path, which is correct with or without threads.
#include <cstddef>  // first, for __GLIBC__
#include <cstdint>

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__aarch64__))

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#if defined(__x86_64__)
#define QUARVO_GLIBC_BASE "GLIBC_2.2.5"
constexpr int kStatVersion = 1;  // _STAT_VER_LINUX of the x86_64 ABI
#else
#define QUARVO_GLIBC_BASE "GLIBC_2.17"
constexpr int kStatVersion = 0;  // _STAT_VER of the generic ABI
#endif

extern "C" {

// The first versions of the two thread calls (glibc 2.34 moved them from
// libpthread into libc under a new version, keeping the old one).
int quarvo_pthread_once_base(pthread_once_t*, void (*)()) noexcept;
int quarvo_pthread_key_create_base(pthread_key_t*, void (*)(void*)) noexcept;
__asm__(".symver quarvo_pthread_once_base, pthread_once@" QUARVO_GLIBC_BASE);
__asm__(".symver quarvo_pthread_key_create_base, __pthread_key_create@" QUARVO_GLIBC_BASE);

int pthread_once(pthread_once_t* once, void (*init)()) noexcept { return quarvo_pthread_once_base(once, init); }

int __pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) noexcept {
  return quarvo_pthread_key_create_base(key, destructor);
}

// Before 2.33 the stat calls were inline wrappers around these, which glibc
// still exports.
int __xstat(int version, const char* path, struct stat* buf) noexcept;
int __lxstat(int version, const char* path, struct stat* buf) noexcept;
int __fxstat(int version, int fd, struct stat* buf) noexcept;
int __fxstat64(int version, int fd, struct stat64* buf) noexcept;

int stat(const char* path, struct stat* buf) noexcept { return __xstat(kStatVersion, path, buf); }
int lstat(const char* path, struct stat* buf) noexcept { return __lxstat(kStatVersion, path, buf); }
int fstat(int fd, struct stat* buf) noexcept { return __fxstat(kStatVersion, fd, buf); }
int fstat64(int fd, struct stat64* buf) noexcept { return __fxstat64(kStatVersion, fd, buf); }

char __libc_single_threaded = 0;

// The object that holds `address`, found the way the unwinder did before
// glibc 2.35 offered this call: by walking the loaded objects' segments.
int _dl_find_object(void* address, struct dl_find_object* result) noexcept {
  struct Search {
    std::uintptr_t address;
    dl_find_object* result;
    bool found;
  } search{reinterpret_cast<std::uintptr_t>(address), result, false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        std::uintptr_t low = UINTPTR_MAX, high = 0;
        void* eh_frame = nullptr;
        bool inside = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          if (segment.p_type == PT_LOAD) {
            low = std::min(low, start);
            high = std::max(high, start + segment.p_memsz);
            inside = inside || (s->address >= start && s->address - start < segment.p_memsz);
          } else if (segment.p_type == PT_GNU_EH_FRAME) {
            eh_frame = reinterpret_cast<void*>(start);
          }
        }
        if (!inside) return 0;
        *s->result = dl_find_object{};
        s->result->dlfo_map_start = reinterpret_cast<void*>(low);
        s->result->dlfo_map_end = reinterpret_cast<void*>(high);
        s->result->dlfo_eh_frame = eh_frame;
        s->found = true;
        return 1;
      },
      &search);
  return search.found ? 0 : -1;
}

// At most 256 bytes from the kernel's random source, as getentropy promises.
int getentropy(void* buffer, std::size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const long got = syscall(SYS_getrandom, out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return 0;
}

std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) abort();  // glibc's arc4random cannot fail either
  return value;
}

}  // extern "C"

#endif
