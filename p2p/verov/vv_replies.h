// Parsers of the replies that the blocking queries receive; every length from the wire is
// checked against the bytes that arrived before it is used.
#pragma once

#include <stdint.h>

struct VvStatusReply {
  int online;              // low 16 bits of the flag
  char addr[37];           // IP and port joined by ':'
  char preferred[65];      // preferred address text, empty when none
  int param_len;           // low 16 bits of the length field
  int params_present;      // 1 when all param_len bytes arrived
  const unsigned char* params;
};

// 1 for a status reply (0x2012, 1011) long enough for its fixed fields, else 0.
int vv_parse_status_reply(const unsigned char* d, int n, VvStatusReply* out);

// Parses a UPnP reply in place (it is deciphered): 0 with the result number, address and
// port, or -3 wrong head, -4 bad lengths, -5 bad text or another uuid.
int vv_parse_upnp_reply(unsigned char* d, int n, const char* uuid, int* result, char* out,
                        int size);
