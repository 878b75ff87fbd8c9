// The option records of the device-query answer: counts and lengths come from the wire and
// must stay inside the body, whatever they say.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ovc_state.h"

bool ovc_parse_query_options(const uint8_t* body, uint32_t blen, int16_t key[3], bool* haveKey, const uint8_t** list,
                             int* listCount, const uint8_t** bitmap, int* bitmapLen);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* body = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(body, data, size);
  int16_t key[3];
  bool haveKey;
  const uint8_t* list;
  const uint8_t* bitmap;
  int count, blen;
  ovc_parse_query_options(body, (uint32_t)size, key, &haveKey, &list, &count, &bitmap, &blen);
  volatile uint8_t sink = 0;
  for (int i = 0; list && i < count * 16; ++i) sink ^= list[i];
  for (int i = 0; bitmap && i < blen; ++i) sink ^= bitmap[i];
  (void)sink;
  free(body);
  return 0;
}
