/* C entry points of the code-signature checks, for callers outside the library. */
#ifndef TESSALY_VERIFICATION_CODE_SIGNATURE_H
#define TESSALY_VERIFICATION_CODE_SIGNATURE_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A truth value as a signed char: only its low bit counts (1 yes, 0 no). */
typedef signed char TessalyBOOL;

/* Same-team check of a running process. */
TessalyBOOL validateRemoteProcess(pid_t pid);

/* Whether a running process is one of the supported browsers. */
TessalyBOOL validateRemoteBrowser(pid_t pid);

/* The user's home directory from the user database, as a NUL-terminated UTF-8 string that the caller releases
   with free(); NULL only when memory runs out. */
char* realHomeDirectory(void);

#ifdef __cplusplus
}
#endif

#endif
