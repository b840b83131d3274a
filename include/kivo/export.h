/* Symbol visibility and linkage macros for the public headers. */
#ifndef KIVO_EXPORT_H
#define KIVO_EXPORT_H

#define KIVO_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define KIVO_EXTERN_C_BEGIN extern "C" {
#define KIVO_EXTERN_C_END }
#else
#define KIVO_EXTERN_C_BEGIN
#define KIVO_EXTERN_C_END
#endif

#endif
