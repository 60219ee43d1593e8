/* Stand-in for macOS's <sys/xattr.h>, which the C headers that zig 0.11
 * ships for macOS lack. Only for scripts/mac-check.py: nothing is linked,
 * so only the declarations matter. They are the eight calls and six option
 * flags of Apple's manual pages getxattr(2), fgetxattr(2), setxattr(2),
 * fsetxattr(2), removexattr(2), fremovexattr(2), listxattr(2) and
 * flistxattr(2), with the values the system header gives the flags. */
#ifndef KESTRUE_MAC_CHECK_SYS_XATTR_H
#define KESTRUE_MAC_CHECK_SYS_XATTR_H

#include <sys/types.h>

#define XATTR_NOFOLLOW 0x0001
#define XATTR_CREATE 0x0002
#define XATTR_REPLACE 0x0004
#define XATTR_NOSECURITY 0x0008
#define XATTR_NODEFAULT 0x0010
#define XATTR_SHOWCOMPRESSION 0x0020

#ifdef __cplusplus
extern "C" {
#endif

ssize_t getxattr(const char *path, const char *name, void *value, size_t size, u_int32_t position,
                 int options);
ssize_t fgetxattr(int fd, const char *name, void *value, size_t size, u_int32_t position,
                  int options);
int setxattr(const char *path, const char *name, const void *value, size_t size, u_int32_t position,
             int options);
int fsetxattr(int fd, const char *name, const void *value, size_t size, u_int32_t position,
              int options);
int removexattr(const char *path, const char *name, int options);
int fremovexattr(int fd, const char *name, int options);
ssize_t listxattr(const char *path, char *names, size_t size, int options);
ssize_t flistxattr(int fd, char *names, size_t size, int options);

#ifdef __cplusplus
}
#endif

#endif
