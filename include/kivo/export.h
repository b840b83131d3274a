/* Symbol visibility and linkage macros for the public headers. */
#ifndef KIVO_EXPORT_H
#define KIVO_EXPORT_H

#define KIVO_API __attribute__((visibility("default")))

/* The binary symbol of a plain function or constant of the C headers: its name with the prefix
 * "kivo_" (kivo_match, kivo_adler32). Callers write the plain names; no host function or other
 * library (zlib's adler32) can take the place of the library's, nor the library's of theirs. */
#define KIVO_STRINGIFY_(x) #x
#define KIVO_STRINGIFY(x) KIVO_STRINGIFY_(x)
#define KIVO_SYMBOL(name) __asm__(KIVO_STRINGIFY(__USER_LABEL_PREFIX__) "kivo_" #name)

#ifdef __cplusplus
#define KIVO_EXTERN_C_BEGIN extern "C" {
#define KIVO_EXTERN_C_END }
#else
#define KIVO_EXTERN_C_BEGIN
#define KIVO_EXTERN_C_END
#endif

#endif
