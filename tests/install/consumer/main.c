/* The plain-function headers compile as C and link through the installed library. */
#include <kivo/afp.h>
#include <kivo/audio_db.h>
#include <kivo/audio_pack.h>
#include <kivo/bit_score.h>
#include <kivo/matcher.h>

#include <stdio.h>
#include <stdlib.h>

int main(void) {
  static int16_t pcm[34000];
  for (int i = 0; i < 34000; ++i) pcm[i] = (int16_t)((i * 7919) % 20000 - 10000);
  AFP afp;
  if (!AFPFromSample(pcm, 68000, &afp) || afp.count != 48) return 1;
  AFPRelease(&afp);

  AudioDB db;
  adb_init(&db);
  uint8_t *stream = NULL;
  int length = 0;
  if (apack_dump_to_string(&db, APACK_OP_ADD, &stream, &length) != 0 || length != 48) return 1;
  if (apack_load_from_string(&db, stream, length) != APACK_OK) return 1;
  free(stream);
  adb_free(&db);
  printf("ok %g\n", AFPGeneratorBands[0]);
  return 0;
}
