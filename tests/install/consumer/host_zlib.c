/* The host's use of zlib, whose adler32 shares its name with the C core's. */
#include <zlib.h>

unsigned long zlibAdler32(const char *text, unsigned length) { return adler32(1, (const Bytef *)text, length); }
