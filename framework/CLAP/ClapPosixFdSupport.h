// SPDX-License-Identifier: ISC
#pragma once

// CLAP 1.1's "clap.posix-fd-support" extension, which the CLAP headers we build against (Debian's
// dpf-source) do not carry: the host watches a file descriptor on its main thread and calls the
// plug-in when it is ready. Declared here from the CLAP 1.1 interface, same names and layout.

#include <clap/plugin.h>

extern "C" {

static const char CLAP_EXT_POSIX_FD_SUPPORT[] = "clap.posix-fd-support";

enum {
  CLAP_POSIX_FD_READ = 1 << 0,
  CLAP_POSIX_FD_WRITE = 1 << 1,
  CLAP_POSIX_FD_ERROR = 1 << 2,
};
typedef uint32_t clap_posix_fd_flags_t;

typedef struct clap_plugin_posix_fd_support {
  // [main-thread]
  void(CLAP_ABI* on_fd)(const clap_plugin_t* plugin, int fd, clap_posix_fd_flags_t flags);
} clap_plugin_posix_fd_support_t;

typedef struct clap_host_posix_fd_support {
  // [main-thread]
  bool(CLAP_ABI* register_fd)(const clap_host_t* host, int fd, clap_posix_fd_flags_t flags);
  bool(CLAP_ABI* modify_fd)(const clap_host_t* host, int fd, clap_posix_fd_flags_t flags);
  bool(CLAP_ABI* unregister_fd)(const clap_host_t* host, int fd);
} clap_host_posix_fd_support_t;

} // extern "C"
