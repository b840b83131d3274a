/* The plain-function headers compile as C and link through the installed library. */
#include <kivo/afp.h>

#include <stdio.h>

int main(void) {
  static int16_t pcm[34000];
  for (int i = 0; i < 34000; ++i) pcm[i] = (int16_t)((i * 7919) % 20000 - 10000);
  AFP afp;
  if (!AFPFromSample(pcm, 68000, &afp) || afp.count != 48) return 1;
  AFPRelease(&afp);
  printf("ok %g\n", AFPGeneratorBands[0]);
  return 0;
}
