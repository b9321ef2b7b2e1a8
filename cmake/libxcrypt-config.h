/* What libxcrypt's configure would find for the Windows build (mingw-w64,
   x86-64): the Windows build compiles the library without configure. */
#include <stdalign.h>
#define HAVE_SYS_TYPES_H 1
#define HAVE_UNISTD_H 1
#define HAVE_STATIC_ASSERT_IN_ASSERT_H 1
#define HAVE_MAX_ALIGN_T 1
#define ENDIANNESS_IS_BIG 0
#define ENDIANNESS_IS_LITTLE 1
#define ENDIANNESS_IS_PDP 0
#define ENABLE_OBSOLETE_API 0
#define ENABLE_OBSOLETE_API_ENOSYS 0
#define ENABLE_FAILURE_TOKENS 1
#define HAVE_FUNC_ATTRIBUTE_SYMVER 0
#define XCRYPT_VERSION_MAJOR 4
#define XCRYPT_VERSION_MINOR 4
#define XCRYPT_VERSION_STR "4.4.33"
#define PACKAGE_VERSION "4.4.33"
