/* The C interface of the platform-services library for host applications: code-signature checks,
   biometric and watch authentication, and device-bound encryption.

   Texts returned by this library: every function here that returns char* returns a NUL-terminated UTF-8
   text allocated with malloc(). The caller owns it and releases it with free() (or tessalyFreeText(), which
   does the same, for callers that cannot reach the C library's free). NULL is returned only when memory runs
   out. The JSON texts are compact documents of the result types named at each function; a text that cannot
   be encoded is returned as the empty text "".

   Every function may be called from any thread. None of them raises or aborts on bad input: null pointers,
   texts that are not UTF-8 and unusable payloads each give the failure case named below. */
#ifndef TESSALY_PLATFORM_TESSALY_PLATFORM_H
#define TESSALY_PLATFORM_TESSALY_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

/* validateRemoteProcess, validateRemoteBrowser, realHomeDirectory and TessalyBOOL. */
#include "tessaly/verification/code_signature.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Releases a text returned by this library; NULL is ignored. */
void tessalyFreeText(char* text);

/* CoreBiometricStatus as a C value; each enumerator has the position of its case in the JSON type. */
typedef enum {
  TessalyBiometricPolicyBiometricsOnly = 0,
  TessalyBiometricPolicyBiometricsOrWatch = 1,
  TessalyBiometricPolicyWatchOnly = 2,
  TessalyBiometricPolicyNoneAvailable = 3
} TessalyBiometricPolicy;

typedef enum {
  TessalyBiometryMethodUnknown = 0,
  TessalyBiometryMethodNoneAvailable = 1,
  TessalyBiometryMethodTouchId = 2,
  TessalyBiometryMethodFaceId = 3
} TessalyBiometryMethod;

typedef enum {
  TessalyBiometryAvailabilityAvailable = 0,
  TessalyBiometryAvailabilityNotAvailable = 1,
  TessalyBiometryAvailabilitySensorUnavailable = 2,
  TessalyBiometryAvailabilityNotEnrolled = 3,
  TessalyBiometryAvailabilityLockout = 4,
  TessalyBiometryAvailabilityNotInteractive = 5,
  TessalyBiometryAvailabilityWatchNotAvailable = 6,
  TessalyBiometryAvailabilityEnrollmentChanged = 7,
  TessalyBiometryAvailabilityUnknown = 8
} TessalyBiometryAvailability;

typedef struct {
  TessalyBiometricPolicy current_policy;
  TessalyBiometryMethod current_method;
  TessalyBiometryAvailability current_availability;
} TessalyBiometricStatus;

/* Runs one biometric (or watch) evaluation and waits for its outcome, at most 60 seconds. The phrases are the
   fallback button's title and the reason shown to the user. JSON of CoreBiometricAuthResponse, e.g.
   "AuthenticationSuccessful"; "LocalizedStringsFailure" when a phrase is NULL or not UTF-8,
   "BiometryAlreadyInProgress" while another evaluation runs, "Timeout" when no reply came in time. */
char* evaluateBiometryJson(const char* biometryFallbackPhrase, const char* biometryUnlockPhrase,
                           TessalyBOOL useBiometrics, TessalyBOOL useWatch);

/* JSON of CoreBiometricStatus, e.g.
   {"current_policy":"BiometricsOnly","current_method":"NoneAvailable","current_availability":"NotAvailable"}. */
char* biometricStatusJson(void);

/* The same status as a C value. */
TessalyBiometricStatus biometricStatus(void);

/* Remembers the current biometric enrolment in the user's defaults (nothing happens when there is none). */
void saveBiometricPolicyDomainState(void);

#if defined(__x86_64__)
/* Whether watch unlock can be used (x86_64 builds only). */
TessalyBOOL isWatchAvailableEntry(void);
/* JSON of CoreBiometryAvailability, e.g. "WatchNotAvailable" (x86_64 builds only). */
char* watchAvailabilityJson(void);
/* The same availability as a C value (x86_64 builds only). */
TessalyBiometryAvailability watchAvailability(void);
#endif

/* Encrypts `length` bytes at `bytes` with the public half of the device-bound key named by `tag` (a
   NUL-terminated UTF-8 text), making the key on first use. JSON of CoreEnclaveResult:
   {"type":"Success","content":[...]} with the ciphertext, or {"type":"Error","content":{...}} with a
   CoreEnclaveError: "FailedToCreateDataFromApplicationTag" for a NULL or non-UTF-8 tag, "EncryptFailed" for
   NULL bytes, "FailedWithKeychainErrorCode" with a status when the key cannot be made or stored. */
char* enclaveEncryptJson(const char* tag, const uint8_t* bytes, size_t length);

/* Decrypts with the private key named by `tag`; the same results, with "DecryptFailed" for NULL bytes and for
   ciphertexts that are malformed, altered or made for another key. */
char* enclaveDecryptJson(const char* tag, const uint8_t* bytes, size_t length);

/* Deletes the key named by `tag`: {"type":"Success","content":[]} also when there was none. */
char* enclaveDeleteKeyJson(const char* tag);

#ifdef __cplusplus
}
#endif

#endif
