// Received text messages: head, both length fields, deciphering and field splitting.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "vv_datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // An exact-size heap copy, so any read past the datagram is caught.
  std::vector<uint8_t> buf(data, data + size);
  uint16_t id = 0;
  const char* text = nullptr;
  int n = vv_text_decode(buf.empty() ? nullptr : buf.data(), static_cast<int>(size), &id, &text);
  if (n < 0) return 0;
  if (text < reinterpret_cast<const char*>(buf.data()) + 20 ||
      text + n >= reinterpret_cast<const char*>(buf.data()) + size || strlen(text) != static_cast<size_t>(n))
    __builtin_trap();
  char* fields[50];
  int count = vv_divstr(const_cast<char*>(text), fields, 50, '|');
  if (count < 0 || count > 50) __builtin_trap();
  for (int i = 0; i < count; ++i) (void)strlen(fields[i]);
  return 0;
}
